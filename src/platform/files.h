#pragma once
// File creation that must not overwrite anything, for the numbered picture files.
#include <QByteArray>
#include <QString>

namespace tarvo::platform {

// Creates the file only if no file, folder or link of that name exists, writes the bytes and
// flushes them to disk. Returns 0, or the errno of the first failing step; EEXIST means the
// name is taken. After a failed write nothing of the file is left behind.
int CreateFileExclusively(const QString& path, const QByteArray& bytes);
// Whether CreateFileExclusively's result means the name was taken.
bool NameTaken(int error);

} // namespace tarvo::platform
