#pragma once
// A private session bus (its own dbus-daemon, stopped again by PID) with a stand-in for the
// desktop's notification service that records what it is asked to show.
#include "support/private_bus.h"

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <memory>

namespace tarvo::test {

class NotificationRecorder : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList bodies;
public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& icon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int timeout);
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
};

class PrivateNotificationBus
{
public:
    PrivateNotificationBus();
    // The recorder on a bus that already runs (a whole session's), served by the test's thread.
    explicit PrivateNotificationBus(const QString& busAddress);
    ~PrivateNotificationBus();
    bool ok() const { return ok_; }
    QString address() const { return address_; }
    // The bodies shown so far, after letting the bus deliver what is on its way.
    QStringList shown(int atLeast = 0, int timeoutMs = 5000);

private:
    void attach();

    std::unique_ptr<PrivateBus> bus_; // only when it started its own
    QString address_;
    QString connectionName_;
    std::unique_ptr<NotificationRecorder> recorder_;
    bool ok_ = false;
};

} // namespace tarvo::test
