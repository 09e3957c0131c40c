#pragma once
// How every thread reaches the main window: the stand-in for sending and posting
// WM_SYSCOMMAND with a command number. Sending blocks the caller until the user-interface
// thread has carried the command out (a direct call when already on that thread), so data
// passed by address stays valid and owned by the sender.
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QtGlobal>
#include <chrono>
#include <mutex>

namespace tarvo::platform {

class CommandTarget
{
public:
    virtual ~CommandTarget() = default;
    virtual void OnSysCommand(qintptr command, qintptr param) = 0;
};

// Registers (or, with null, forgets) the main window. Call on the user-interface thread.
void SetMainWindow(CommandTarget* window);

// Any thread. Without a main window the command goes nowhere.
void SendCommand(qintptr command, qintptr param = 0);
void PostCommand(qintptr command, qintptr param = 0);

// Waits for the given time while the thread's event loop keeps running (a timer, not a sleep),
// so the clipboard answers requests, the tray redraws and sockets are served meanwhile. The
// flags narrow what is processed (ExcludeUserInputEvents for a splash). Without an
// application object it simply sleeps.
void PauseWithEvents(std::chrono::milliseconds duration,
                     QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);

// Something that another thread (or a later event) says has happened, waited for on the
// user-interface thread with its event loop running. Shared by the waiter and the teller, so a
// late Notify after the wait gave up is harmless.
class Happening
{
public:
    // Any thread, any number of times; the first one counts.
    void Notify();
    // Runs the event loop (narrowed by flags) until Notify, at once if it came already, or the
    // deadline. Whether it has happened.
    bool Wait(QDeadlineTimer deadline,
              QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);

private:
    std::mutex lock_;
    bool happened_ = false;
    QEventLoop* waiting_ = nullptr;
};

} // namespace tarvo::platform
