#pragma once
// The one way a failure reaches the user: a log line every time, and one desktop notification
// (org.freedesktop.Notifications on the session bus) per kind of failure for the life of the
// process, so a failure that repeats on every save or capture does not flood the desktop.
#include <QString>

namespace tarvo::platform {

enum class Failure
{
    StoreUnreadable, // the settings file exists but cannot be read
    StoreSave,       // the settings could not be written
    Capture,         // a capture could not be delivered
    Upload,          // an upload failed
};

// Safe from any thread. logLine goes to the log as it is; message is the notification's text.
void ReportFailure(Failure kind, const QString& logLine, const QString& message);

// Where the log lines go; the log installs itself while it is open. Null: nowhere.
using FailureLogSink = void (*)(const QString&);
void SetFailureLogSink(FailureLogSink sink);

} // namespace tarvo::platform
