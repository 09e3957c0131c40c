#include "platform/instance_channel.h"

#include "platform/instance_lock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tarvo::platform {

namespace {

// A request is one short line; anything longer is not ours.
constexpr qsizetype kMaxRequest = 256;
constexpr QByteArrayView kTaken = "ok\n";
constexpr QByteArrayView kRefused = "refused\n";
// A client that connects and then says nothing is let go after this.
constexpr int kQuietClientMs = 5000;

std::optional<sockaddr_un> addressOf(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name.isEmpty() || std::size_t(name.size()) >= sizeof address.sun_path) return {};
    std::memcpy(address.sun_path, name.constData(), std::size_t(name.size()));
    return address;
}

void closeQuietly(int fd)
{
    if (fd >= 0) ::close(fd);
}

// Only the user who runs us may hand us requests, whatever the socket file's mode.
bool sameUser(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == getuid();
}

} // namespace

QString InstanceChannel::SocketPathFor(const QString& guardName)
{
    QString path = InstanceLock::FilePathFor(guardName);
    path.chop(5); // ".lock"
    return path + QStringLiteral(".socket");
}

InstanceChannel::InstanceChannel(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler))
{
}

InstanceChannel::~InstanceChannel()
{
    if (listener_ < 0) return;
    delete accepting_;
    closeQuietly(listener_);
    ::unlink(QFile::encodeName(path_).constData());
}

bool InstanceChannel::Listen(const QString& guardName)
{
    if (listener_ >= 0) return false;
    const QString path = SocketPathFor(guardName);
    const auto address = addressOf(path);
    if (!address) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    // A socket left behind by an instance that died: the guard says nobody else uses it.
    ::unlink(address->sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::chmod(address->sun_path, 0600) != 0 || ::listen(fd, 16) != 0) {
        closeQuietly(fd);
        return false;
    }
    listener_ = fd;
    path_ = path;
    accepting_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(accepting_, &QSocketNotifier::activated, this, &InstanceChannel::onConnection);
    return true;
}

void InstanceChannel::onConnection()
{
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return; // EAGAIN: all taken; anything else comes back with the next client
        }
        if (!sameUser(fd)) {
            closeQuietly(fd);
            continue;
        }
        // The connection lives as long as its notifier, which the channel owns.
        auto* readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(readable, &QObject::destroyed, [fd] { closeQuietly(fd); });
        auto pending = std::make_shared<QByteArray>();
        const auto finish = [readable] {
            readable->setEnabled(false);
            readable->deleteLater();
        };
        // The notifier goes with the connection, and this timer with the notifier.
        QTimer::singleShot(kQuietClientMs, readable, finish);
        connect(readable, &QSocketNotifier::activated, this, [this, fd, pending, finish] {
            char chunk[kMaxRequest + 1];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            if (n <= 0) {
                finish(); // the client left, or the connection broke
                return;
            }
            pending->append(chunk, n);
            const qsizetype end = pending->indexOf('\n');
            if (end < 0) {
                if (pending->size() > kMaxRequest) finish();
                return;
            }
            const QByteArray line = pending->left(end);
            const QByteArrayView answer = handler_ && handler_(line) ? kTaken : kRefused;
            // A few bytes always fit a fresh socket's buffer; a client that left gets no signal.
            (void)::send(fd, answer.data(), std::size_t(answer.size()), MSG_NOSIGNAL);
            finish();
        });
    }
}

bool SendToInstance(const QString& guardName, const QByteArray& request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const auto address = addressOf(InstanceChannel::SocketPathFor(guardName));
    if (!address) return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const struct Closer
    {
        int fd;
        ~Closer() { closeQuietly(fd); }
    } closer{fd};

    // Waits for the socket to become ready in the given way before the deadline.
    const auto ready = [&](short events) {
        for (;;) {
            pollfd p{fd, events, 0};
            const int rc = ::poll(&p, 1, int(deadline.remainingTime()));
            if (rc < 0 && errno == EINTR) continue;
            return rc > 0 && (p.revents & events);
        }
    };
    // A listener whose backlog is full makes us try again until the deadline.
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN || deadline.hasExpired()) return false;
        ::poll(nullptr, 0, 10);
    }
    const QByteArray line = request + '\n';
    qsizetype sent = 0;
    while (sent < line.size()) {
        const ssize_t n =
            ::send(fd, line.constData() + sent, std::size_t(line.size() - sent), MSG_NOSIGNAL);
        if (n >= 0) {
            sent += n;
        } else if (errno != EINTR && (errno != EAGAIN || !ready(POLLOUT))) {
            return false;
        }
    }
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() <= kMaxRequest) {
        char chunk[64];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            answer.append(chunk, n);
        } else if (n == 0 || (errno != EINTR && (errno != EAGAIN || !ready(POLLIN)))) {
            break;
        }
    }
    return answer == kTaken;
}

} // namespace tarvo::platform
