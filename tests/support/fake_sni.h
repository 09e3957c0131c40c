#pragma once
// A tray host as a program sees it over D-Bus: a StatusNotifierItem watcher that items
// register with, on a private bus, and the calls such a host makes on an item and on its
// exported menu (Activate, SecondaryActivate, com.canonical.dbusmenu GetLayout and Event).
#include "support/private_bus.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <memory>
#include <optional>
#include <vector>

namespace tarvo::test {

class FakeWatcher : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    // "sender path" of each item registered so far.
    QStringList registeredItems() const;
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString& service);

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    mutable QMutex mutex_;
    QStringList items_;
};

struct SniItem
{
    QString service;
    QString path;
};

// One entry of an exported menu, with its children.
struct MenuEntry
{
    int id = 0;
    QVariantMap properties;
    std::vector<MenuEntry> children;

    QString label() const { return properties.value(QStringLiteral("label")).toString(); }
    // The first entry at any depth whose label contains the text.
    const MenuEntry* find(const QString& text) const;
};

class FakeTrayHost
{
public:
    // Starts a private bus with the watcher on it: start the program after this.
    FakeTrayHost();
    // The watcher on a bus that already runs (a whole session's).
    explicit FakeTrayHost(const QString& busAddress);
    ~FakeTrayHost();
    bool ok() const { return ok_; }
    QString address() const { return address_; }

    // The first item that registered, once one has.
    std::optional<SniItem> waitForItem(int timeoutMs = 20000);

    // Calls on the item as a host makes them; false on a D-Bus error.
    bool call(const SniItem& item, const QString& method, int x = 100, int y = 100);
    QVariant property(const SniItem& item, const QString& name);
    // The item's picture as the host reads it: each size's width, height and pixels, joined.
    QByteArray iconPixels(const SniItem& item);
    // The item's exported menu, whole.
    std::optional<MenuEntry> menu(const SniItem& item);
    // A click on a menu entry, as the host reports one.
    bool click(const SniItem& item, int id);

private:
    void attach();
    QString menuPath(const SniItem& item);

    std::unique_ptr<PrivateBus> bus_; // only when the host started its own
    QString address_;
    std::unique_ptr<BusServices> services_;
    FakeWatcher* watcher_ = nullptr;
    QString clientName_;
    bool ok_ = false;
};

} // namespace tarvo::test
