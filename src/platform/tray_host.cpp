#include "platform/tray_host.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace tarvo::platform {

bool StatusNotifierWatcherRunning()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) return false;
    return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
}

} // namespace tarvo::platform
