#pragma once
// Reading and writing the desktop-entry files the program deals with (the autostart entry, the
// web browser's entry, mimeapps.list): groups, keys and the string escapes of their values.
#include <QString>
#include <optional>

namespace tarvo::platform {

// The raw value of a key in a group, or nothing when the file, group or key is missing.
std::optional<QString> DesktopEntryValue(const QString& path, QStringView group, QStringView key);
// The same for the text of a file already read.
std::optional<QString> DesktopEntryValueIn(QStringView text, QStringView group, QStringView key);

// An Exec line as a command template: "%1" where the address goes, "%%" for a percent sign.
QString ExecToCommandTemplate(QStringView exec);

// The value escapes: \s \n \t \r and \\.
QString DesktopEntryUnescape(QStringView value);
QString DesktopEntryEscape(QStringView value);

} // namespace tarvo::platform
