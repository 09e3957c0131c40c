#include "support/fake_sni.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMutexLocker>
#include <QThread>

namespace tarvo::test {

namespace {

const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

MenuEntry ReadEntry(const QDBusArgument& arg)
{
    MenuEntry e;
    arg.beginStructure();
    arg >> e.id >> e.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        e.children.push_back(ReadEntry(child.variant().value<QDBusArgument>()));
    }
    arg.endArray();
    arg.endStructure();
    return e;
}

} // namespace

QStringList FakeWatcher::registeredItems() const
{
    QMutexLocker lock(&mutex_);
    return items_;
}

void FakeWatcher::RegisterStatusNotifierItem(const QString& service)
{
    // An item names its bus name or its object path; the sender is where it lives either way.
    const QString path = service.startsWith(u'/') ? service : QStringLiteral("/StatusNotifierItem");
    {
        QMutexLocker lock(&mutex_);
        items_ << message().service() + u' ' + path;
    }
    Q_EMIT StatusNotifierItemRegistered(service);
}

void FakeWatcher::RegisterStatusNotifierHost(const QString&)
{
    Q_EMIT StatusNotifierHostRegistered();
}

const MenuEntry* MenuEntry::find(const QString& text) const
{
    if (label().contains(text)) return this;
    for (const MenuEntry& c : children)
        if (const MenuEntry* hit = c.find(text)) return hit;
    return nullptr;
}

FakeTrayHost::FakeTrayHost() : bus_(std::make_unique<PrivateBus>())
{
    if (!bus_->ok()) return;
    address_ = bus_->address();
    attach();
}

FakeTrayHost::FakeTrayHost(const QString& busAddress) : address_(busAddress)
{
    attach();
}

void FakeTrayHost::attach()
{
    services_ = std::make_unique<BusServices>(address_);
    auto watcher = std::make_unique<FakeWatcher>();
    watcher_ = watcher.get();
    clientName_ = QStringLiteral("test tray host ") + address_;
    ok_ = services_->connected() &&
          services_->host(std::move(watcher), QStringLiteral("/StatusNotifierWatcher"),
                          QStringLiteral("org.kde.StatusNotifierWatcher")) &&
          QDBusConnection::connectToBus(address_, clientName_).isConnected();
}

FakeTrayHost::~FakeTrayHost()
{
    if (!clientName_.isEmpty()) QDBusConnection::disconnectFromBus(clientName_);
}

std::optional<SniItem> FakeTrayHost::waitForItem(int timeoutMs)
{
    for (int waited = 0; watcher_ && waited < timeoutMs; waited += 50) {
        const QStringList items = watcher_->registeredItems();
        if (!items.isEmpty()) {
            const QStringList parts = items.first().split(u' ');
            return SniItem{parts[0], parts[1]};
        }
        QThread::msleep(50);
    }
    return std::nullopt;
}

bool FakeTrayHost::call(const SniItem& item, const QString& method, int x, int y)
{
    QDBusMessage m =
        QDBusMessage::createMethodCall(item.service, item.path, kItemInterface, method);
    m.setArguments({x, y});
    return QDBusConnection(clientName_).call(m, QDBus::Block, 10000).type() ==
           QDBusMessage::ReplyMessage;
}

QVariant FakeTrayHost::property(const SniItem& item, const QString& name)
{
    QDBusMessage m = QDBusMessage::createMethodCall(
        item.service, item.path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    m.setArguments({kItemInterface, name});
    const QDBusMessage reply = QDBusConnection(clientName_).call(m, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

QByteArray FakeTrayHost::iconPixels(const SniItem& item)
{
    const QVariant v = property(item, QStringLiteral("IconPixmap"));
    if (!v.canConvert<QDBusArgument>()) return {};
    QByteArray all;
    const QDBusArgument arg = v.value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        int w = 0;
        int h = 0;
        QByteArray data;
        arg.beginStructure();
        arg >> w >> h >> data;
        arg.endStructure();
        all += QByteArray::number(w) + 'x' + QByteArray::number(h) + data;
    }
    arg.endArray();
    return all;
}

QString FakeTrayHost::menuPath(const SniItem& item)
{
    return property(item, QStringLiteral("Menu")).value<QDBusObjectPath>().path();
}

std::optional<MenuEntry> FakeTrayHost::menu(const SniItem& item)
{
    QDBusMessage m = QDBusMessage::createMethodCall(item.service, menuPath(item), kMenuInterface,
                                                    QStringLiteral("GetLayout"));
    m.setArguments({0, -1, QStringList()});
    const QDBusMessage reply = QDBusConnection(clientName_).call(m, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
        return std::nullopt;
    return ReadEntry(reply.arguments().at(1).value<QDBusArgument>());
}

bool FakeTrayHost::click(const SniItem& item, int id)
{
    QDBusMessage m = QDBusMessage::createMethodCall(item.service, menuPath(item), kMenuInterface,
                                                    QStringLiteral("Event"));
    m.setArguments({id, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    return QDBusConnection(clientName_).call(m, QDBus::Block, 10000).type() ==
           QDBusMessage::ReplyMessage;
}

} // namespace tarvo::test
