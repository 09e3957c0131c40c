#pragma once
// The diagnostic log. It starts closed and every call is then a no-op; OpenLogFromEnvironment
// opens it when TARVO_LOG is set. Lines are "%Y-%m-%d %H:%M:%S: text", UTF-8, appended.
#include "platform/wformat.h"

#include <QString>

namespace tarvo {

// Never throws; a null text writes an empty one.
void LogText(const QString* text);
inline void LogText(const QString& text)
{
    LogText(&text);
}
inline void LogText(const char16_t* text)
{
    const QString t = QString::fromUtf16(text);
    LogText(&t);
}

bool IsLogOpen();

// Text from outside (server replies, paths, titles) with its control characters written as
// escapes (\n, \r, \t, \xNN, \u2028), so it can never start a log line of its own.
QString LogSafe(QStringView text);

// The arguments are not formatted while the log is closed.
template <class... A> void LogFormat(QStringView format, const A&... args)
{
    if (!IsLogOpen()) return;
    const QString text = Format(format, args...);
    LogText(&text);
}

// TARVO_LOG=1 puts the log at $XDG_STATE_HOME/tarvo/TarvoTray.log; any other non-empty value
// is the file's path. Returns whether the log is open.
bool OpenLogFromEnvironment();
bool OpenLog(const QString& path);
void CloseLog();

} // namespace tarvo
