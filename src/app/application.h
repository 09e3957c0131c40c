#pragma once
// The application object: owns the life of the process from the splash to the exit step.
#include "platform/instance_lock.h"

#include <memory>

namespace tarvo {

class TarvoTrayDlg;

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
    int splashMs = 2000;
    // Widget tests of the start-up leave the network alone.
    bool startVersionCheck = true;

private:
    void showSplash();

    platform::InstanceLock instance_;
    std::unique_ptr<TarvoTrayDlg> mainWnd_;
    bool exitRequested_ = false; // a signal came before the main window existed
};

} // namespace tarvo
