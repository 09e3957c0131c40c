#pragma once
// The capture shortcut as the session offers it: a passive key grab on X11, or a shortcut the
// desktop binds for the program through the desktop portal (a Wayland client cannot grab
// keys). Where neither exists nothing is registered, and the caller tells the user to bind a
// key in the desktop's own settings to `tarvo --capture`.
#include "platform/session.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <memory>

namespace tarvo::platform {

enum class ShortcutKind
{
    KeyGrab, // X passive grab: the stored key works as it is
    Portal,  // org.freedesktop.portal.GlobalShortcuts: the desktop decides the key
};

// TARVO_SHORTCUTS=x11|portal wins; otherwise a Wayland session uses the portal.
ShortcutKind ChooseShortcutKind(const char* override, Backend backend);

// The key in the portal's trigger text ("Print", "CTRL+SHIFT+Print", "ALT+F1", "LOGO+a"), or
// empty when the virtual-key code names no key.
QString PortalTrigger(int mods, int vk);

class CaptureShortcut : public QObject
{
    Q_OBJECT
public:
    enum class State
    {
        Pending,     // asked, no answer yet
        Active,      // the key works; trigger() names it where the desktop chose it
        NoDisplay,   // no X connection (offscreen), nothing to grab on
        NoSuchKey,   // the stored code names no key on this keyboard
        Taken,       // another X client holds the combination
        Unavailable, // no portal, or one without global shortcuts
        Refused,     // the portal answered no, failed or did not answer in time
    };

    ~CaptureShortcut() override = default;

    virtual ShortcutKind kind() const = 0;
    // Asks for the combination (stored MOD_* bits and virtual-key code). The answer may come
    // later: changed() tells.
    virtual void Register(int mods, int vk) = 0;
    virtual void Unregister() = 0;

    State state() const { return state_; }
    // The key as the desktop describes it ("Ctrl+Shift+Print"), or empty.
    QString trigger() const { return trigger_; }
    // Why it is not active, for the log.
    QString reason() const { return reason_; }

Q_SIGNALS:
    void activated();
    void changed();

protected:
    void setState(State state, const QString& trigger = {}, const QString& reason = {});

private:
    State state_ = State::Pending;
    QString trigger_;
    QString reason_;
};

// The one this session uses (ActiveBackend and TARVO_SHORTCUTS), the portal one on the
// session bus.
std::unique_ptr<CaptureShortcut> MakeCaptureShortcut();
// The portal one on a given bus; a request without an answer in timeoutMs counts as refused.
std::unique_ptr<CaptureShortcut> MakePortalShortcut(const QDBusConnection& bus,
                                                    int timeoutMs = 30000);

} // namespace tarvo::platform
