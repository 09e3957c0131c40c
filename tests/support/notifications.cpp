#include "support/notifications.h"

#include "support/wait.h"

#include <QDBusConnectionInterface>

namespace tarvo::test {

uint NotificationRecorder::Notify(const QString&, uint, const QString&, const QString&,
                                  const QString& body, const QStringList&, const QVariantMap&, int)
{
    bodies << body;
    return uint(bodies.size());
}

PrivateNotificationBus::PrivateNotificationBus() : bus_(std::make_unique<PrivateBus>())
{
    if (!bus_->ok()) return;
    address_ = bus_->address();
    attach();
}

PrivateNotificationBus::PrivateNotificationBus(const QString& busAddress) : address_(busAddress)
{
    attach();
}

void PrivateNotificationBus::attach()
{
    connectionName_ = QStringLiteral("test notifications ") + address_;
    QDBusConnection bus = QDBusConnection::connectToBus(address_, connectionName_);
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
