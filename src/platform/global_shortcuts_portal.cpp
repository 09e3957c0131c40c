#include "platform/global_shortcuts_portal.h"

#include "platform/wayland/portal_screenshot.h"
#include "tarvo_version.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QRandomGenerator>
#include <algorithm>

namespace tarvo::platform {

namespace {

// Binding may wait on the user: some desktops ask first which key to give the shortcut.
constexpr int kBindAnswerMs = 5 * 60 * 1000;

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

QString ErrorText(const QDBusError& e)
{
    return e.name() + QStringLiteral(": ") + e.message();
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& arg, const PortalShortcutEntry& e)
{
    arg.beginStructure();
    arg << e.id << e.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, PortalShortcutEntry& e)
{
    arg.beginStructure();
    arg >> e.id >> e.properties;
    arg.endStructure();
    return arg;
}

PortalShortcut::PortalShortcut(const QDBusConnection& bus, int timeoutMs)
    : bus_(bus), timeoutMs_(timeoutMs)
{
    qDBusRegisterMetaType<PortalShortcutEntry>();
    qDBusRegisterMetaType<QList<PortalShortcutEntry>>();
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        fail(State::Refused,
             QStringLiteral("the desktop portal did not answer in %1 s").arg(timeoutMs_ / 1000.0));
    });
}

PortalShortcut::~PortalShortcut()
{
    Unregister();
}

QString PortalShortcut::nextToken()
{
    // Unique among this connection's requests; the random part keeps two runs apart.
    return QStringLiteral("tarvo%1_%2")
        .arg(QRandomGenerator::global()->bounded(1u << 30))
        .arg(++tokens_);
}

void PortalShortcut::Register(int mods, int vk)
{
    Unregister();
    preferred_ = PortalTrigger(mods, vk);
    if (!bus_.isConnected()) {
        fail(State::Unavailable, QStringLiteral("no session bus"));
        return;
    }
    setState(State::Pending);
    // A program outside a sandbox names itself to the portal first, on portals that ask for it;
    // older ones do not know the call, which is fine.
    QDBusMessage registry = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
        QStringLiteral("Register"));
    registry.setArguments({QStringLiteral(TARVO_APP_ID), QVariantMap()});
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(registry, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        checkInterface();
    });
}

void PortalShortcut::checkInterface()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({kShortcuts, QStringLiteral("version")});
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError()) {
            fail(State::Unavailable,
                 QStringLiteral("the desktop portal offers no global shortcuts (%1)")
                     .arg(ErrorText(reply.error())));
            return;
        }
        if (reply.value().variant().toUInt() < 1) {
            fail(State::Unavailable, QStringLiteral("the desktop portal's global shortcuts "
                                                    "have no usable version"));
            return;
        }
        createSession();
    });
}

void PortalShortcut::createSession()
{
    step_ = Step::Creating;
    const QString token = nextToken();
    request(QStringLiteral("CreateSession"),
            {QVariantMap{{QStringLiteral("handle_token"), token},
                         {QStringLiteral("session_handle_token"), nextToken()}}},
            token, timeoutMs_);
}

void PortalShortcut::bind()
{
    step_ = Step::Binding;
    PortalShortcutEntry entry;
    entry.id = QString::fromLatin1(kPortalShortcutId);
    entry.properties[QStringLiteral("description")] = QStringLiteral("Захватить экран");
    if (!preferred_.isEmpty()) entry.properties[QStringLiteral("preferred_trigger")] = preferred_;
    const QString token = nextToken();
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(sessionPath_)),
             QVariant::fromValue(QList<PortalShortcutEntry>{entry}), QString(),
             QVariantMap{{QStringLiteral("handle_token"), token}}},
            token, std::max(timeoutMs_, kBindAnswerMs));
}

void PortalShortcut::request(const QString& method, const QVariantList& args, const QString& token,
                             int responseTimeoutMs)
{
    // Listen on the path the Request will have before asking, so a quick answer is not lost.
    listenForResponse(wayland::PortalRequestPath(bus_.baseService(), token));
    timeout_.start(responseTimeoutMs);

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kShortcuts, method);
    call.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs_), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *w;
                if (reply.isError()) {
                    fail(State::Refused,
                         QStringLiteral("%1 failed (%2)").arg(method, ErrorText(reply.error())));
                    return;
                }
                // An older portal may put the Request elsewhere: follow it there.
                if (reply.value().path() != requestPath_) listenForResponse(reply.value().path());
            });
}

void PortalShortcut::listenForResponse(const QString& path)
{
    stopListening();
    requestPath_ = path;
    bus_.connect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                 SLOT(onResponse(uint, QVariantMap)));
}

void PortalShortcut::stopListening()
{
    if (requestPath_.isEmpty()) return;
    bus_.disconnect(kService, requestPath_, kRequest, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));
    requestPath_.clear();
}

void PortalShortcut::onResponse(uint code, const QVariantMap& results)
{
    timeout_.stop();
    stopListening();
    const Step step = step_;
    if (code != 0) {
        // 1: the user said no; 2: anything else.
        fail(State::Refused,
             QStringLiteral("%1 answered %2%3")
                 .arg(step == Step::Creating ? QStringLiteral("CreateSession")
                                             : QStringLiteral("BindShortcuts"))
                 .arg(code)
                 .arg(code == 1 ? QStringLiteral(" (cancelled by the user)") : QString()));
        return;
    }
    if (step == Step::Creating) {
        // A string by the portal's documentation, an object path from some backends.
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        sessionPath_ = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                            : handle.toString();
        if (sessionPath_.isEmpty()) {
            fail(State::Refused, QStringLiteral("CreateSession gave no session"));
            return;
        }
        bus_.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                     SLOT(onActivated(QDBusMessage)));
        bus_.connect(kService, kPath, kShortcuts, QStringLiteral("ShortcutsChanged"), this,
                     SLOT(onShortcutsChanged(QDBusMessage)));
        bind();
        return;
    }
    if (step == Step::Binding) {
        step_ = Step::Bound;
        const QVariant list = results.value(QStringLiteral("shortcuts"));
        showBound(list.canConvert<QDBusArgument>()
                      ? qdbus_cast<QList<PortalShortcutEntry>>(list.value<QDBusArgument>())
                      : QList<PortalShortcutEntry>{});
    }
}

void PortalShortcut::showBound(const QList<PortalShortcutEntry>& shortcuts)
{
    for (const PortalShortcutEntry& e : shortcuts) {
        if (e.id != QLatin1String(kPortalShortcutId)) continue;
        setState(State::Active,
                 e.properties.value(QStringLiteral("trigger_description")).toString());
        return;
    }
    // The user bound nothing for it (or the desktop left it out).
    fail(State::Refused, QStringLiteral("the desktop bound no key to the shortcut"));
}

void PortalShortcut::onActivated(const QDBusMessage& message)
{
    const QVariantList args = message.arguments();
    if (step_ != Step::Bound || args.size() < 2) return;
    if (args[0].value<QDBusObjectPath>().path() != sessionPath_) return;
    if (args[1].toString() == QLatin1String(kPortalShortcutId)) Q_EMIT activated();
}

void PortalShortcut::onShortcutsChanged(const QDBusMessage& message)
{
    const QVariantList args = message.arguments();
    if (step_ != Step::Bound || args.size() < 2) return;
    if (args[0].value<QDBusObjectPath>().path() != sessionPath_) return;
    showBound(qdbus_cast<QList<PortalShortcutEntry>>(args[1].value<QDBusArgument>()));
}

void PortalShortcut::fail(State state, const QString& reason)
{
    timeout_.stop();
    stopListening();
    step_ = Step::Idle;
    setState(state, {}, reason);
}

void PortalShortcut::Unregister()
{
    timeout_.stop();
    stopListening();
    if (!sessionPath_.isEmpty() && bus_.isConnected()) {
        bus_.disconnect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                        SLOT(onActivated(QDBusMessage)));
        bus_.disconnect(kService, kPath, kShortcuts, QStringLiteral("ShortcutsChanged"), this,
                        SLOT(onShortcutsChanged(QDBusMessage)));
        // The session would end with the connection anyway; closing says so at once.
        bus_.call(QDBusMessage::createMethodCall(kService, sessionPath_,
                                                 QStringLiteral("org.freedesktop.portal.Session"),
                                                 QStringLiteral("Close")),
                  QDBus::NoBlock);
    }
    sessionPath_.clear();
    step_ = Step::Idle;
}

} // namespace tarvo::platform
