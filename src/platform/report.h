#pragma once
// The one way a failure reaches the user: a log line every time and a desktop notification
// (org.freedesktop.Notifications on the session bus). A failure the user just caused by acting
// (a capture, an upload) is shown every time; one that repeats unasked on every save, or a state
// of the desktop, is shown once per kind for the life of the process, so it does not flood it.
#include <QString>

namespace tarvo::platform {

enum class Failure
{
    StoreUnreadable, // the settings file exists but cannot be read
    StoreSave,       // the settings could not be written
    Capture,         // a capture could not be delivered (shown every time)
    Upload,          // an upload failed (shown every time)
    NoTray,          // neither a tray host nor a status-notifier watcher is there
};

// True for the kinds shown every time they are reported.
bool ShownEveryTime(Failure kind);

// Safe from any thread. logLine goes to the log as it is (an empty one, for a caller that has
// logged already, goes nowhere); message is the notification's text.
void ReportFailure(Failure kind, const QString& logLine, const QString& message);

// Where the log lines go; the log installs itself while it is open. Null: nowhere.
using FailureLogSink = void (*)(const QString&);
void SetFailureLogSink(FailureLogSink sink);

} // namespace tarvo::platform
