#pragma once
// A small local channel beside the single-instance guard: the running instance listens on a
// socket in $XDG_RUNTIME_DIR, and a later start hands it a request (one line) instead of
// running a second copy. Only the same user can connect.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

class QSocketNotifier;

namespace tarvo::platform {

class InstanceChannel : public QObject
{
    Q_OBJECT
public:
    // Gets one request line (without its line end) and returns whether it was taken.
    using Handler = std::function<bool(const QByteArray&)>;

    explicit InstanceChannel(Handler handler, QObject* parent = nullptr);
    ~InstanceChannel() override;

    // guardName as given to InstanceLock. Call only while holding that guard: a socket left
    // behind by an instance that died is replaced.
    bool Listen(const QString& guardName);

    static QString SocketPathFor(const QString& guardName);

private:
    void onConnection();

    Handler handler_;
    int listener_ = -1;
    QString path_;
    QSocketNotifier* accepting_ = nullptr;
};

// Sends one request line to the instance holding the guard and waits for its answer; true
// when it took the request. No instance listening gives false at once.
bool SendToInstance(const QString& guardName, const QByteArray& request, int timeoutMs = 2000);

} // namespace tarvo::platform
