#pragma once
// The application object: owns the life of the process from the splash to the exit step.
#include "platform/instance_lock.h"
#include "platform/process_state.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace tarvo {

class TarvoTrayDlg;
namespace platform {
class InstanceChannel;
}

inline constexpr auto kInstanceMutexName =
    "Local\\Tarvo.Running_6068FB91-37CE-4AC7-9F79-3C2B80545ED8";

class TarvoTrayApp
{
public:
    TarvoTrayApp();
    ~TarvoTrayApp(); // deletes the main window, which empties the history

    // The start-up step: false ends the process at once (the exit step still runs).
    bool InitInstance();
    // The exit step: sets the exiting flag and releases the single-instance guard.
    int ExitInstance();

    TarvoTrayDlg* mainWindow() const { return mainWnd_.get(); }

    // How long the splash stays; tests of other behaviour may shorten it.
    int splashMs = ShortWaitsForTests() ? 200 : 2000;
    // Widget tests of the start-up leave the network alone.
    bool startVersionCheck = true;
    // Started with --capture: capture once the tray icon is up (a destination code, or the
    // menu's). A second start with it hands the capture to the first instead of the message.
    std::optional<std::int32_t> captureAtStart;

private:
    void showSplash();
    void listenForRequests();

    platform::InstanceLock instance_;
    std::unique_ptr<TarvoTrayDlg> mainWnd_;
    std::unique_ptr<platform::InstanceChannel> channel_;
    bool exitRequested_ = false; // a signal came before the main window existed
};

} // namespace tarvo
