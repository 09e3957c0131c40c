#include "platform/instance_channel.h"

#include "platform/instance_lock.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>

namespace tarvo::platform {

namespace {

// A request is one short line; anything longer is not ours.
constexpr qsizetype kMaxRequest = 256;
constexpr QByteArrayView kTaken = "ok\n";
constexpr QByteArrayView kRefused = "refused\n";

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
    if (server_) server_->close(); // removes the socket file
}

bool InstanceChannel::Listen(const QString& guardName)
{
    const QString path = SocketPathFor(guardName);
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &InstanceChannel::onConnection);
    return server_->listen(path);
}

void InstanceChannel::onConnection()
{
    while (QLocalSocket* s = server_->nextPendingConnection()) {
        connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QLocalSocket::readyRead, this, [this, s] {
            const QByteArray pending = s->peek(kMaxRequest + 1);
            const qsizetype end = pending.indexOf('\n');
            if (end < 0) {
                if (pending.size() > kMaxRequest) s->abort();
                return;
            }
            const QByteArray line = s->read(end + 1).chopped(1);
            s->write(handler_ && handler_(line) ? kTaken.data() : kRefused.data());
            s->disconnectFromServer();
        });
    }
}

bool SendToInstance(const QString& guardName, const QByteArray& request, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket s;
    s.connectToServer(InstanceChannel::SocketPathFor(guardName));
    if (!s.waitForConnected(int(deadline.remainingTime()))) return false;
    s.write(request + '\n');
    if (!s.waitForBytesWritten(int(deadline.remainingTime()))) return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && answer.size() <= kMaxRequest) {
        if (!s.waitForReadyRead(int(deadline.remainingTime()))) break;
        answer += s.readAll();
    }
    return answer == kTaken;
}

} // namespace tarvo::platform
