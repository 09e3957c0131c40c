#include "platform/report.h"

#include "platform/services.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>
#include <atomic>
#include <mutex>
#include <set>

namespace tarvo::platform {

namespace {

std::atomic<FailureLogSink> gSink{nullptr};
std::mutex gLock;
std::set<Failure> gShown;

// The session bus the desktop announces; never one started on demand.
QString sessionBusAddress()
{
    QString env = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!env.isEmpty()) return env;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists())
        return QStringLiteral("unix:path=") + runtime + QStringLiteral("/bus");
    return {};
}

void notify(const QString& message)
{
    const QString address = sessionBusAddress();
    if (address.isEmpty()) return;
    // Named after the address, so a changed address gets a connection of its own.
    QDBusConnection bus =
        QDBusConnection::connectToBus(address, QStringLiteral("tarvo-notify ") + address);
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Tarvo") << 0u << QStringLiteral("dialog-error")
         << QStringLiteral("Tarvo") << message << QStringList() << QVariantMap() << -1;
    // Not waited for: the user-interface thread must not block on the desktop.
    bus.send(call);
}

} // namespace

bool ShownEveryTime(Failure kind)
{
    return kind == Failure::Capture || kind == Failure::Upload;
}

void ReportFailure(Failure kind, const QString& logLine, const QString& message)
{
    if (const FailureLogSink sink = gSink.load(); sink && !logLine.isEmpty()) sink(logLine);
    if (!ShownEveryTime(kind)) {
        const auto services = CurrentServices();
        std::set<Failure>& shown = services->shownFailures ? *services->shownFailures : gShown;
        const std::lock_guard<std::mutex> g(gLock);
        if (!shown.insert(kind).second) return;
    }
    try {
        notify(message);
    } catch (...) {
        // Reporting never fails its caller.
    }
}

void SetFailureLogSink(FailureLogSink sink)
{
    gSink.store(sink);
}

} // namespace tarvo::platform
