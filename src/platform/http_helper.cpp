#include "platform/http_helper.h"

#include <QDataStream>
#include <QIODevice>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvo::platform {

namespace {

// The helper is this program, told by its environment (the command line is the user's).
constexpr char kHelperVariable[] = "TARVO_HTTP_HELPER";
constexpr int kChannelFd = 0; // the helper reads the request from it and answers on it
// Answers: the reply, a transfer failure, or a request that could not be set up.
constexpr qint8 kReply = 'R', kFailed = 'E', kNotSetUp = 'N';
constexpr auto kStreamVersion = QDataStream::Qt_6_4;

qint64 count(std::chrono::milliseconds d)
{
    return qint64(d.count());
}

QByteArray encode(const HttpRequest& r)
{
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setVersion(kStreamVersion);
    s << r.post << r.scheme << r.host << qint32(r.port) << r.target << r.headers << r.body
      << quint64(r.replyLimit) << count(r.timeouts.connect) << count(r.timeouts.stall)
      << quint64(r.timeouts.lowSpeedBytes) << count(r.timeouts.total);
    return out;
}

bool decode(const QByteArray& in, HttpRequest& r)
{
    QDataStream s(in);
    s.setVersion(kStreamVersion);
    qint32 port = 0;
    quint64 limit = 0, lowSpeed = 0;
    qint64 connect = 0, stall = 0, total = 0;
    s >> r.post >> r.scheme >> r.host >> port >> r.target >> r.headers >> r.body >> limit >>
        connect >> stall >> lowSpeed >> total;
    r.port = port;
    r.replyLimit = std::size_t(limit);
    r.timeouts = {std::chrono::milliseconds(connect), std::chrono::milliseconds(stall),
                  std::size_t(lowSpeed), std::chrono::milliseconds(total)};
    return s.status() == QDataStream::Ok;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, std::size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += n;
    }
    return true;
}

// Reads until the other side is done. Between reads, stop() is asked about once a second;
// true abandons the read.
bool readAll(int fd, QByteArray& into, const std::function<bool()>& stop)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, 1000);
        if (rc < 0 && errno != EINTR) return false;
        if (stop && stop()) return false;
        if (rc <= 0) continue;
        char chunk[16384];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        into.append(chunk, n);
    }
}

struct Helper
{
    pid_t pid = -1;
    int fd = -1;
    ~Helper()
    {
        if (fd >= 0) ::close(fd);
        if (pid <= 0) return;
        ::kill(pid, SIGKILL); // a no-op for one that has ended; only ours is waited for
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
};

bool start(Helper& helper)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 clears close-on-exec on the copy the helper keeps.
    posix_spawn_file_actions_adddup2(&actions, pair[1], kChannelFd);
    std::vector<QByteArray> variables;
    for (char** e = environ; *e; ++e)
        if (!QByteArray(*e).startsWith(QByteArray(kHelperVariable) + '='))
            variables.emplace_back(*e);
    variables.emplace_back(QByteArray(kHelperVariable) + "=1");
    std::vector<char*> envp;
    envp.reserve(variables.size() + 1);
    for (QByteArray& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    char name[] = "tarvo-http";
    char* argv[] = {name, nullptr};
    const int rc = posix_spawn(&helper.pid, "/proc/self/exe", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (rc != 0) {
        helper.pid = -1;
        ::close(pair[0]);
        return false;
    }
    helper.fd = pair[0];
    return true;
}

} // namespace

bool HttpSendApart(const HttpRequest& request, HttpReply* reply)
{
    Helper helper;
    if (!start(helper)) return false;
    if (!sendAll(helper.fd, encode(request)) || ::shutdown(helper.fd, SHUT_WR) != 0)
        throw HttpError(QStringLiteral("The web helper did not take the request"));
    QByteArray answer;
    bool gaveUp = false;
    const bool read = readAll(helper.fd, answer, [&] {
        gaveUp = request.cancelled && request.cancelled();
        return gaveUp;
    });
    if (gaveUp) throw HttpError(QStringLiteral("Request cancelled"));
    QDataStream s(answer);
    s.setVersion(kStreamVersion);
    qint8 kind = 0;
    qint32 status = 0, code = 0;
    QByteArray body;
    QString message;
    s >> kind >> status >> code >> body >> message;
    if (!read || s.status() != QDataStream::Ok)
        throw HttpError(QStringLiteral("The web helper ended without an answer"));
    if (kind == kNotSetUp) return false;
    if (kind != kReply) throw HttpError(message, code);
    if (reply) {
        reply->status = status;
        reply->body = body.left(qsizetype(request.replyLimit));
    }
    return true;
}

int RunHttpHelperIfAsked()
{
    if (qgetenv(kHelperVariable) != "1") return -1;
    // The helper goes with the program that asked, whatever the reason it went.
    const pid_t parent = getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) return 1;

    QByteArray in;
    HttpRequest request;
    if (!readAll(kChannelFd, in, {}) || !decode(in, request)) return 1;
    QByteArray out;
    QDataStream s(&out, QIODevice::WriteOnly);
    s.setVersion(kStreamVersion);
    try {
        HttpReply reply;
        if (HttpSend(request, &reply))
            s << kReply << qint32(reply.status) << qint32(0) << reply.body << QString();
        else
            s << kNotSetUp << qint32(0) << qint32(0) << QByteArray() << QString();
    } catch (const HttpError& e) {
        s << kFailed << qint32(0) << qint32(e.code()) << QByteArray() << e.message();
    }
    return sendAll(kChannelFd, out) ? 0 : 1;
}

} // namespace tarvo::platform
