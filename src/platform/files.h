#pragma once
// File creation that must not overwrite anything, for the numbered picture files.
#include <QByteArray>
#include <QString>
#include <functional>

namespace tarvo::platform {

// Creates the file only if no file, folder or link of that name exists, writes the bytes and
// flushes them to disk. Returns 0, or the errno of the first failing step; EEXIST means the
// name is taken. After a failed write nothing of the file is left behind. written, if given,
// runs once every byte is in the file and before the flush to disk, which takes milliseconds
// that the caller need not keep anything on screen for.
int CreateFileExclusively(const QString& path, const QByteArray& bytes,
                          const std::function<void()>& written = {});
// Whether CreateFileExclusively's result means the name was taken.
bool NameTaken(int error);

} // namespace tarvo::platform
