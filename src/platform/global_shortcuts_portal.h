#pragma once
// The capture shortcut through org.freedesktop.portal.GlobalShortcuts: a session, one
// shortcut bound in it with the stored key as the preferred trigger, and its Activated signal.
// Private to platform/: the rest of the program sees only CaptureShortcut.
#include "platform/global_shortcuts.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QList>
#include <QTimer>
#include <QVariantMap>

namespace tarvo::platform {

// One entry of the portal's a(sa{sv}) shortcut lists.
struct PortalShortcutEntry
{
    QString id;
    QVariantMap properties;
};
QDBusArgument& operator<<(QDBusArgument& arg, const PortalShortcutEntry& e);
const QDBusArgument& operator>>(const QDBusArgument& arg, PortalShortcutEntry& e);

// The id the program's one shortcut has in its portal session.
inline constexpr char kPortalShortcutId[] = "capture";

class PortalShortcut final : public CaptureShortcut
{
    Q_OBJECT
public:
    PortalShortcut(const QDBusConnection& bus, int timeoutMs);
    ~PortalShortcut() override;
    PortalShortcut(const PortalShortcut&) = delete;
    PortalShortcut& operator=(const PortalShortcut&) = delete;

    ShortcutKind kind() const override { return ShortcutKind::Portal; }
    void Register(int mods, int vk) override;
    void Unregister() override;

private Q_SLOTS:
    void onResponse(uint code, const QVariantMap& results);
    void onActivated(const QDBusMessage& message);
    void onShortcutsChanged(const QDBusMessage& message);

private:
    enum class Step
    {
        Idle,
        Creating,
        Binding,
        Bound,
    };
    void checkInterface();
    void createSession();
    void bind();
    // Calls a portal method that answers through a Request object; its Response arrives at
    // onResponse, or the time-out refuses.
    void request(const QString& method, const QVariantList& args, const QString& token,
                 int responseTimeoutMs);
    void listenForResponse(const QString& path);
    void stopListening();
    void fail(State state, const QString& reason);
    void showBound(const QList<PortalShortcutEntry>& shortcuts);
    QString nextToken();

    QDBusConnection bus_;
    int timeoutMs_ = 0;
    QTimer timeout_;
    Step step_ = Step::Idle;
    QString preferred_;
    QString requestPath_;
    QString sessionPath_;
    int tokens_ = 0;
};

} // namespace tarvo::platform

Q_DECLARE_METATYPE(tarvo::platform::PortalShortcutEntry)
