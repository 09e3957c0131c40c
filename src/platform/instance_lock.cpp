#include "platform/instance_lock.h"

#include "platform/paths.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tarvo::platform {

QString InstanceLock::FilePathFor(const QString& name)
{
    // "Local\" names the login session's namespace, which the runtime folder is.
    QString base = name;
    if (base.startsWith(u"Local\\")) base = base.mid(6);
    base.replace(u'\\', u'_').replace(u'/', u'_');
    return RuntimeDir() + QLatin1Char('/') + base + QStringLiteral(".lock");
}

InstanceLock::Result InstanceLock::Acquire(const QString& name)
{
    Release();
    const QString dir = RuntimeDir();
    if (dir.isEmpty() || !MakePath(dir)) return Result::Failed;
    const QByteArray path = QFile::encodeName(FilePathFor(name));
    // Close-on-exec: a browser started by us must not keep the guard alive after we exit.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return Result::Failed;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? Result::AlreadyHeld : Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

void InstanceLock::Release()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace tarvo::platform
