#include "platform/files.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace tarvo::platform {

int CreateFileExclusively(const QString& path, const QByteArray& bytes,
                          const std::function<void()>& written)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty()) return ENOENT;
    int fd;
    do {
        fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;

    int err = 0;
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        p += n;
        left -= n;
    }
    if (!err && written) written();
    if (!err && ::fsync(fd) != 0 && errno != EINVAL) err = errno;
    if (::close(fd) != 0 && !err && errno != EINTR) err = errno;
    // The file is ours (we created it exclusively), so a partial one can go.
    if (err) ::unlink(name.constData());
    return err;
}

bool NameTaken(int error)
{
    return error == EEXIST;
}

} // namespace tarvo::platform
