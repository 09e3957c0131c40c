#include "support/private_bus.h"

#include <QDBusConnection>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

namespace tarvo::test {

PrivateBus::PrivateBus()
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
    daemon_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) return;
    for (int i = 0; i < 500 && !QFileInfo::exists(socket); ++i)
        QThread::msleep(10);
    const QString address = QStringLiteral("unix:path=") + socket;
    // The socket may appear a moment before the daemon listens on it.
    const QString probe = QStringLiteral("test bus probe ") + address;
    for (int i = 0; i < 100; ++i) {
        const bool up = QDBusConnection::connectToBus(address, probe).isConnected();
        QDBusConnection::disconnectFromBus(probe);
        if (up) {
            address_ = address;
            return;
        }
        QThread::msleep(50);
    }
}

PrivateBus::~PrivateBus()
{
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.kill(); // our own child, by its PID
        daemon_.waitForFinished(5000);
    }
}

} // namespace tarvo::test

namespace tarvo::test {

BusServices::BusServices(const QString& address)
    : name_(QStringLiteral("test services %1 ").arg(quintptr(this)) + address),
      bus_(QDBusConnection::connectToBus(address, name_))
{
    thread_.start();
}

BusServices::~BusServices()
{
    QDBusConnection::disconnectFromBus(name_);
    // Deleted on their own thread, which runs what is left of them as it ends.
    for (auto& o : objects_)
        o.release()->deleteLater();
    thread_.quit();
    thread_.wait();
}

bool BusServices::host(std::unique_ptr<QObject> object, const QString& path, const QString& service)
{
    object->moveToThread(&thread_);
    QObject* o = object.get();
    objects_.push_back(std::move(object));
    bool ok = false;
    // Exported from its own thread: the bus gives the object helpers that must live there.
    QMetaObject::invokeMethod(
        o,
        [&] {
            ok = bus_.registerObject(path, o,
                                     QDBusConnection::ExportAllSlots |
                                         QDBusConnection::ExportAllSignals |
                                         QDBusConnection::ExportAllProperties) &&
                 (service.isEmpty() || bus_.registerService(service));
        },
        Qt::BlockingQueuedConnection);
    return ok;
}

} // namespace tarvo::test
