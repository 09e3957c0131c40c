#include "platform/global_shortcuts.h"

#include "platform/global_shortcuts_portal.h"
#include "platform/hotkey.h"

#include <cstdlib>
#include <cstring>

namespace tarvo::platform {

namespace {

// X keysym names (as xkbcommon spells them, which is what the portal parses) for the keysyms
// a virtual-key code can map to, apart from the letter, digit and function-key ranges.
struct SymName
{
    std::uint32_t sym;
    const char* name;
};

constexpr SymName kSymNames[] = {
    {0x0020, "space"},
    {0x0027, "apostrophe"},
    {0x002c, "comma"},
    {0x002d, "minus"},
    {0x002e, "period"},
    {0x002f, "slash"},
    {0x003b, "semicolon"},
    {0x003c, "less"},
    {0x003d, "equal"},
    {0x005b, "bracketleft"},
    {0x005c, "backslash"},
    {0x005d, "bracketright"},
    {0x0060, "grave"},
    {0xfd0e, "3270_Attn"},
    {0xff08, "BackSpace"},
    {0xff09, "Tab"},
    {0xff0b, "Clear"},
    {0xff0d, "Return"},
    {0xff13, "Pause"},
    {0xff14, "Scroll_Lock"},
    {0xff1b, "Escape"},
    {0xff50, "Home"},
    {0xff51, "Left"},
    {0xff52, "Up"},
    {0xff53, "Right"},
    {0xff54, "Down"},
    {0xff55, "Prior"},
    {0xff56, "Next"},
    {0xff57, "End"},
    {0xff60, "Select"},
    {0xff61, "Print"},
    {0xff62, "Execute"},
    {0xff63, "Insert"},
    {0xff67, "Menu"},
    {0xff69, "Cancel"},
    {0xff6a, "Help"},
    {0xff7f, "Num_Lock"},
    {0xffaa, "KP_Multiply"},
    {0xffab, "KP_Add"},
    {0xffac, "KP_Separator"},
    {0xffad, "KP_Subtract"},
    {0xffae, "KP_Decimal"},
    {0xffaf, "KP_Divide"},
    {0xffe1, "Shift_L"},
    {0xffe2, "Shift_R"},
    {0xffe3, "Control_L"},
    {0xffe4, "Control_R"},
    {0xffe5, "Caps_Lock"},
    {0xffe9, "Alt_L"},
    {0xffea, "Alt_R"},
    {0xffeb, "Super_L"},
    {0xffec, "Super_R"},
    {0xffff, "Delete"},
    {0x1008ff11, "XF86AudioLowerVolume"},
    {0x1008ff12, "XF86AudioMute"},
    {0x1008ff13, "XF86AudioRaiseVolume"},
    {0x1008ff14, "XF86AudioPlay"},
    {0x1008ff15, "XF86AudioStop"},
    {0x1008ff16, "XF86AudioPrev"},
    {0x1008ff17, "XF86AudioNext"},
    {0x1008ff18, "XF86HomePage"},
    {0x1008ff19, "XF86Mail"},
    {0x1008ff1b, "XF86Search"},
    {0x1008ff1d, "XF86Calculator"},
    {0x1008ff26, "XF86Back"},
    {0x1008ff27, "XF86Forward"},
    {0x1008ff28, "XF86Stop"},
    {0x1008ff29, "XF86Refresh"},
    {0x1008ff2f, "XF86Sleep"},
    {0x1008ff30, "XF86Favorites"},
    {0x1008ff31, "XF86AudioPause"},
    {0x1008ff32, "XF86AudioMedia"},
    {0x1008ff5d, "XF86Explorer"},
    {0x1008ff8b, "XF86ZoomIn"},
};

QString KeysymName(std::uint32_t sym)
{
    if ((sym >= '0' && sym <= '9') || (sym >= 'a' && sym <= 'z')) return QString(QChar(sym));
    if (sym >= 0xffb0 && sym <= 0xffb9) return QStringLiteral("KP_%1").arg(sym - 0xffb0);
    if (sym >= 0xffbe && sym <= 0xffd5) return QStringLiteral("F%1").arg(sym - 0xffbe + 1);
    for (const SymName& e : kSymNames)
        if (e.sym == sym) return QString::fromLatin1(e.name);
    return {};
}

// Today's X key grab behind the common face.
class KeyGrabShortcut final : public CaptureShortcut
{
public:
    static constexpr int kId = 100;

    KeyGrabShortcut()
        : hotkey_([this](int id) {
              if (id == kId) Q_EMIT activated();
          })
    {
    }
    ShortcutKind kind() const override { return ShortcutKind::KeyGrab; }
    void Register(int mods, int vk) override
    {
        switch (hotkey_.Register(kId, mods, vk)) {
        case GlobalHotkey::Result::Registered:
            setState(State::Active);
            break;
        case GlobalHotkey::Result::NoDisplay:
            setState(State::NoDisplay);
            break;
        case GlobalHotkey::Result::NoSuchKey:
            setState(State::NoSuchKey);
            break;
        case GlobalHotkey::Result::Taken:
            setState(State::Taken);
            break;
        }
    }
    void Unregister() override { hotkey_.Unregister(kId); }

private:
    GlobalHotkey hotkey_;
};

} // namespace

ShortcutKind ChooseShortcutKind(const char* override, Backend backend)
{
    if (override && std::strcmp(override, "portal") == 0) return ShortcutKind::Portal;
    if (override && std::strcmp(override, "x11") == 0) return ShortcutKind::KeyGrab;
    return backend == Backend::Wayland ? ShortcutKind::Portal : ShortcutKind::KeyGrab;
}

QString PortalTrigger(int mods, int vk)
{
    const auto sym = VirtualKeyToKeysym(vk);
    const QString key = sym ? KeysymName(*sym) : QString();
    if (key.isEmpty()) return {};
    QString text;
    if (mods & MOD_CONTROL) text += QStringLiteral("CTRL+");
    if (mods & MOD_ALT) text += QStringLiteral("ALT+");
    if (mods & MOD_SHIFT) text += QStringLiteral("SHIFT+");
    if (mods & MOD_WIN) text += QStringLiteral("LOGO+");
    return text + key;
}

void CaptureShortcut::setState(State state, const QString& trigger, const QString& reason)
{
    state_ = state;
    trigger_ = trigger;
    reason_ = reason;
    Q_EMIT changed();
}

std::unique_ptr<CaptureShortcut> MakeCaptureShortcut()
{
    if (ChooseShortcutKind(std::getenv("TARVO_SHORTCUTS"), ActiveBackend()) == ShortcutKind::Portal)
        return MakePortalShortcut(QDBusConnection::sessionBus());
    return std::make_unique<KeyGrabShortcut>();
}

std::unique_ptr<CaptureShortcut> MakePortalShortcut(const QDBusConnection& bus, int timeoutMs)
{
    return std::make_unique<PortalShortcut>(bus, timeoutMs);
}

} // namespace tarvo::platform
