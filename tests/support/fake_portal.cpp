#include "support/fake_portal.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

namespace tarvo::test {

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// Some other portal interface, so the service and object exist without global shortcuts.
class SettingsOnlyPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
    Q_PROPERTY(uint version READ version)
public:
    uint version() const { return 1; }
};

} // namespace

QDBusArgument& operator<<(QDBusArgument& arg, const FakeShortcut& s)
{
    arg.beginStructure();
    arg << s.id << s.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, FakeShortcut& s)
{
    arg.beginStructure();
    arg >> s.id >> s.properties;
    arg.endStructure();
    return arg;
}

FakeShortcutsPortal::Record FakeShortcutsPortal::record() const
{
    QMutexLocker lock(&mutex_);
    return record_;
}

QString FakeShortcutsPortal::requestPath(const QString& token)
{
    QString sender = message().service().mid(1);
    sender.replace(u'.', u'_');
    return kPath + QStringLiteral("/request/") + sender + u'/' + token;
}

void FakeShortcutsPortal::respond(const QString& path, uint code, const QVariantMap& results)
{
    if (!settings_.answer) return;
    // After the method's own reply, as a real portal's Request answers.
    QDBusConnection bus = connection();
    QTimer::singleShot(20, this, [bus, path, code, results]() mutable {
        QDBusMessage signal = QDBusMessage::createSignal(
            path, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
        signal.setArguments({code, results});
        bus.send(signal);
    });
}

QDBusObjectPath FakeShortcutsPortal::CreateSession(const QVariantMap& options)
{
    const QString path = requestPath(options.value(QStringLiteral("handle_token")).toString());
    QString sender = message().service().mid(1);
    sender.replace(u'.', u'_');
    const QString session = kPath + QStringLiteral("/session/") + sender + u'/' +
                            options.value(QStringLiteral("session_handle_token")).toString();
    {
        QMutexLocker lock(&mutex_);
        record_.requestPaths << path;
        record_.sessionPath = session;
    }
    respond(path, settings_.createAnswer, {{QStringLiteral("session_handle"), session}});
    return QDBusObjectPath(path);
}

QDBusObjectPath FakeShortcutsPortal::BindShortcuts(const QDBusObjectPath& session,
                                                   const QList<FakeShortcut>& shortcuts,
                                                   const QString&, const QVariantMap& options)
{
    const QString path = requestPath(options.value(QStringLiteral("handle_token")).toString());
    QList<FakeShortcut> bound;
    for (FakeShortcut s : shortcuts) {
        const QString trigger = s.properties.value(QStringLiteral("preferred_trigger")).toString();
        s.properties = {
            {QStringLiteral("description"), s.properties.value(QStringLiteral("description"))},
            {QStringLiteral("trigger_description"),
             settings_.boundDescription.isEmpty() ? trigger : settings_.boundDescription}};
        bound << s;
    }
    {
        QMutexLocker lock(&mutex_);
        record_.requestPaths << path;
        record_.bound = shortcuts;
        record_.bindSession = session.path();
    }
    respond(path, settings_.bindAnswer,
            {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}});
    return QDBusObjectPath(path);
}

FakePortal::FakePortal(bool withShortcuts, FakePortalSettings settings)
    : bus_(std::make_unique<PrivateBus>())
{
    if (!bus_->ok()) return;
    address_ = bus_->address();
    attach(withShortcuts, std::move(settings));
}

FakePortal::FakePortal(const QString& busAddress, bool withShortcuts, FakePortalSettings settings)
    : address_(busAddress)
{
    attach(withShortcuts, std::move(settings));
}

void FakePortal::attach(bool withShortcuts, FakePortalSettings settings)
{
    qDBusRegisterMetaType<FakeShortcut>();
    qDBusRegisterMetaType<QList<FakeShortcut>>();
    services_ = std::make_unique<BusServices>(address_);
    if (!services_->connected()) return;
    std::unique_ptr<QObject> object;
    if (withShortcuts) {
        auto portal = std::make_unique<FakeShortcutsPortal>(std::move(settings));
        portal_ = portal.get();
        object = std::move(portal);
    } else {
        object = std::make_unique<SettingsOnlyPortal>();
    }
    ok_ =
        services_->host(std::move(object), kPath, QStringLiteral("org.freedesktop.portal.Desktop"));
}

FakeShortcutsPortal::Record FakePortal::record() const
{
    return portal_ ? portal_->record() : FakeShortcutsPortal::Record{};
}

bool FakePortal::waitForBind(int timeoutMs) const
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (!record().bound.isEmpty()) return true;
        QThread::msleep(20);
    }
    return false;
}

void FakePortal::activate(const QString& id)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("Activated"));
    signal.setArguments({QVariant::fromValue(QDBusObjectPath(record().sessionPath)), id,
                         qulonglong(1000), QVariantMap()});
    services_->bus().send(signal);
}

void FakePortal::changeTrigger(const QString& id, const QString& description)
{
    FakeShortcut s;
    s.id = id;
    s.properties = {{QStringLiteral("trigger_description"), description}};
    QDBusMessage signal =
        QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("ShortcutsChanged"));
    signal.setArguments({QVariant::fromValue(QDBusObjectPath(record().sessionPath)),
                         QVariant::fromValue(QList<FakeShortcut>{s})});
    services_->bus().send(signal);
}

} // namespace tarvo::test

#include "fake_portal.moc"
