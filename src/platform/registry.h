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
    // Writes the batch now; false when the store refused it (RegLastStoreError says why).
    // A nested batch leaves the writing to the outer one and returns true.
    bool Commit();

private:
    struct State;
    State* state_;
};

// The errno of this thread's last failed write of the store file, 0 after a good one.
int RegLastStoreError();
// 0 when the store file is readable or missing; otherwise the errno that stops reading it.
// A store that exists but cannot be read is never written.
int StoreReadError();
// Removes the temporaries that a save killed half-way left in the store's folder.
void RemoveStaleStoreTemporaries();

// Files behind the keys, for the README and for tests.
QString StoreFilePath();
QString AutostartFilePath();

// The desktop-entry Exec= quoting of one argument, and its reverse for a whole Exec value
// (a value that is one quoted argument comes back unquoted; anything else as written).
QString QuoteExecArgument(QStringView arg);
QString UnquoteExecValue(QStringView exec);

// Writes a file through a temporary in the same folder, flushed to disk, then renamed over it.
// The file keeps its mode; a new file is 0600. On failure errno says why.
bool WriteFileAtomically(const QString& path, const QByteArray& data);

} // namespace tarvo::platform
