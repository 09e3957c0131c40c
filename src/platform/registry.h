#pragma once
// The registry as the program sees it. Each key the program uses is backed by its Linux
// counterpart:
//   HKCU\Software\Tarvo\...                        the store file $XDG_CONFIG_HOME/tarvo/tarvo.reg
//   HKCU\...\CurrentVersion\Run, value "Tarvo"     the autostart entry autostart/tarvo.desktop
//   HKCU\...\Explorer\User Shell Folders,
//        value "My Pictures"                       XDG_PICTURES_DIR of user-dirs.dirs (expandable)
//   HKCR\http\shell\open\command, default value    the default web browser's desktop entry
// Other keys do not exist: reads find nothing and writes fail.
#include "platform/regfile.h"

#include <QString>
#include <optional>

namespace tarvo::platform {

enum class HKey
{
    CurrentUser,
    ClassesRoot
};

std::optional<RegValue> RegQueryValue(HKey root, QStringView subKey, QStringView name);
// Opens or creates the key and sets the value; false when the store refused the write.
bool RegSetValue(HKey root, QStringView subKey, QStringView name, const RegValue& value);
// Deletes the value; a missing value is no error.
bool RegDeleteValue(HKey root, QStringView subKey, QStringView name);

// Expands %VAR%, $VAR and ${VAR}; a reference to an unset variable stays as written.
QString ExpandEnvironmentStrings(QStringView text);

// Groups the writes to the store file made while it lives into one locked read-modify-write,
// so a full save costs one rewrite instead of one per value. Writes still apply in order.
class RegBatch
{
public:
    RegBatch();
    ~RegBatch();
    RegBatch(const RegBatch&) = delete;
    RegBatch& operator=(const RegBatch&) = delete;

private:
    struct State;
    State* state_;
};

// Files behind the keys, for the README and for tests.
QString StoreFilePath();
QString AutostartFilePath();

// The desktop-entry Exec= quoting of one argument, and its reverse for a whole Exec value
// (a value that is one quoted argument comes back unquoted; anything else as written).
QString QuoteExecArgument(QStringView arg);
QString UnquoteExecValue(QStringView exec);

// Writes a file through a temporary in the same folder, flushed to disk, then renamed over it.
bool WriteFileAtomically(const QString& path, const QByteArray& data);

} // namespace tarvo::platform
