#include "support/notifications.h"

#include "support/wait.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

namespace tarvo::test {

uint NotificationRecorder::Notify(const QString&, uint, const QString&, const QString&,
                                  const QString& body, const QStringList&, const QVariantMap&, int)
{
    bodies << body;
    return uint(bodies.size());
}

PrivateNotificationBus::PrivateNotificationBus()
{
    const QString socket = dir_.path() + QStringLiteral("/bus");
    const QString config = dir_.path() + QStringLiteral("/bus.conf");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) return;
    f.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig><type>session</type><listen>unix:path=" +
            QFile::encodeName(socket) +
            "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
            "<allow user=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
            "<allow own=\"*\"/></policy></busconfig>\n");
    f.close();
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork")});
    daemon_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the test die, the daemon goes with it.
    daemon_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) return;
    for (int i = 0; i < 500 && !QFileInfo::exists(socket); ++i)
        QThread::msleep(10);
    address_ = QStringLiteral("unix:path=") + socket;
    connectionName_ = QStringLiteral("test notifications ") + address_;
    // The socket may appear a moment before the daemon listens on it.
    QDBusConnection bus = QDBusConnection::connectToBus(address_, connectionName_);
    for (int i = 0; i < 100 && !bus.isConnected(); ++i) {
        QDBusConnection::disconnectFromBus(connectionName_);
        QThread::msleep(50);
        bus = QDBusConnection::connectToBus(address_, connectionName_);
    }
    if (!bus.isConnected()) return;
    recorder_ = std::make_unique<NotificationRecorder>();
    ok_ = bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), recorder_.get(),
                             QDBusConnection::ExportAllSlots) &&
          bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

PrivateNotificationBus::~PrivateNotificationBus()
{
    if (!connectionName_.isEmpty()) QDBusConnection::disconnectFromBus(connectionName_);
    // Connections of the code under test to this bus go stale with it.
    QDBusConnection::disconnectFromBus(QStringLiteral("tarvo-notify ") + address_);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.kill(); // our own child, by its PID
        daemon_.waitForFinished(5000);
    }
}

QStringList PrivateNotificationBus::shown(int atLeast, int timeoutMs)
{
    if (!recorder_) return {};
    ProcessEventsUntil([&] { return recorder_->bodies.size() >= atLeast; }, timeoutMs);
    // A little more time for anything else already on its way.
    ProcessEventsUntil([] { return false; }, 200);
    return recorder_->bodies;
}

} // namespace tarvo::test
