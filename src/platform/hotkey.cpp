#include "platform/hotkey.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <map>
#include <vector>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace tarvo {

namespace {

// X keysym values (from X11/keysymdef.h), for the keys a hotkey can name.
struct VkSym
{
    int vk;
    std::uint32_t sym;
};

constexpr VkSym kVkSyms[] = {
    {0x03, 0xff69},     // Cancel -> Break
    {0x08, 0xff08},     // Back
    {0x09, 0xff09},     // Tab
    {0x0C, 0xff0b},     // Clear
    {0x0D, 0xff0d},     // Return
    {0x10, 0xffe1},     // Shift
    {0x11, 0xffe3},     // Control
    {0x12, 0xffe9},     // Menu -> Alt_L
    {0x13, 0xff13},     // Pause
    {0x14, 0xffe5},     // Capital -> Caps_Lock
    {0x1B, 0xff1b},     // Escape
    {0x20, 0x0020},     // Space
    {0x21, 0xff55},     // Prior
    {0x22, 0xff56},     // Next
    {0x23, 0xff57},     // End
    {0x24, 0xff50},     // Home
    {0x25, 0xff51},     // Left
    {0x26, 0xff52},     // Up
    {0x27, 0xff53},     // Right
    {0x28, 0xff54},     // Down
    {0x29, 0xff60},     // Select
    {0x2A, 0xff61},     // Print
    {0x2B, 0xff62},     // Execute
    {0x2C, 0xff61},     // Print Screen
    {0x2D, 0xff63},     // Insert
    {0x2E, 0xffff},     // Delete
    {0x2F, 0xff6a},     // Help
    {0x5B, 0xffeb},     // Lwin -> Super_L
    {0x5C, 0xffec},     // Rwin -> Super_R
    {0x5D, 0xff67},     // Apps -> Menu
    {0x5F, 0x1008ff2f}, // Sleep
    {0x6A, 0xffaa},     // Multiply
    {0x6B, 0xffab},     // Add
    {0x6C, 0xffac},     // Separator
    {0x6D, 0xffad},     // Subtract
    {0x6E, 0xffae},     // Decimal
    {0x6F, 0xffaf},     // Divide
    {0x90, 0xff7f},     // Numlock
    {0x91, 0xff14},     // Scroll
    {0xA0, 0xffe1},     // Lshift
    {0xA1, 0xffe2},     // Rshift
    {0xA2, 0xffe3},     // Lcontrol
    {0xA3, 0xffe4},     // Rcontrol
    {0xA4, 0xffe9},     // Lmenu
    {0xA5, 0xffea},     // Rmenu
    {0xA6, 0x1008ff26}, // Browser Back
    {0xA7, 0x1008ff27}, // Browser Forward
    {0xA8, 0x1008ff29}, // Browser Refresh
    {0xA9, 0x1008ff28}, // Browser Stop
    {0xAA, 0x1008ff1b}, // Browser Search
    {0xAB, 0x1008ff30}, // Browser Favorites
    {0xAC, 0x1008ff18}, // Browser Home
    {0xAD, 0x1008ff12}, // Volume Mute
    {0xAE, 0x1008ff11}, // Volume Down
    {0xAF, 0x1008ff13}, // Volume Up
    {0xB0, 0x1008ff17}, // Media Next Track
    {0xB1, 0x1008ff16}, // Media Prev Track
    {0xB2, 0x1008ff15}, // Media Stop
    {0xB3, 0x1008ff14}, // Media Play Pause
    {0xB4, 0x1008ff19}, // Launch Mail
    {0xB5, 0x1008ff32}, // Launch Media Select
    {0xB6, 0x1008ff5d}, // Launch App1 -> Explorer
    {0xB7, 0x1008ff1d}, // Launch App2 -> Calculator
    {0xBA, 0x003b},     // Oem 1 -> semicolon
    {0xBB, 0x003d},     // Oem Plus -> equal
    {0xBC, 0x002c},     // Oem Comma
    {0xBD, 0x002d},     // Oem Minus
    {0xBE, 0x002e},     // Oem Period
    {0xBF, 0x002f},     // Oem 2 -> slash
    {0xC0, 0x0060},     // Oem 3 -> grave
    {0xDB, 0x005b},     // Oem 4 -> bracketleft
    {0xDC, 0x005c},     // Oem 5 -> backslash
    {0xDD, 0x005d},     // Oem 6 -> bracketright
    {0xDE, 0x0027},     // Oem 7 -> apostrophe
    {0xE2, 0x003c},     // Oem 102 -> less
    {0xF6, 0xfd0e},     // Attn -> 3270_Attn
    {0xFA, 0x1008ff31}, // Play -> AudioPause? (media play)
    {0xFB, 0x1008ff8b}, // Zoom -> ZoomIn
};

} // namespace

std::optional<std::uint32_t> VirtualKeyToKeysym(int vk)
{
    if (vk >= '0' && vk <= '9') return std::uint32_t(vk);                    // XK_0..XK_9
    if (vk >= 'A' && vk <= 'Z') return std::uint32_t(vk + 32);               // XK_a..XK_z
    if (vk >= 0x60 && vk <= 0x69) return 0xffb0u + std::uint32_t(vk - 0x60); // KP_0..KP_9
    if (vk >= 0x70 && vk <= 0x87) return 0xffbeu + std::uint32_t(vk - 0x70); // F1..F24
    for (const VkSym& e : kVkSyms)
        if (e.vk == vk) return e.sym;
    return std::nullopt;
}

std::uint16_t ModifiersToXMask(int mods)
{
    std::uint16_t m = 0;
    if (mods & MOD_ALT) m |= XCB_MOD_MASK_1;
    if (mods & MOD_CONTROL) m |= XCB_MOD_MASK_CONTROL;
    if (mods & MOD_SHIFT) m |= XCB_MOD_MASK_SHIFT;
    if (mods & MOD_WIN) m |= XCB_MOD_MASK_4;
    return m;
}

struct GlobalHotkey::Impl : QAbstractNativeEventFilter
{
    struct Grab
    {
        std::vector<xcb_keycode_t> keycodes;
        std::uint16_t mask = 0;
    };

    std::function<void(int)> onHotkey;
    xcb_connection_t* conn = nullptr;
    xcb_window_t root = 0;
    std::uint16_t numLock = 0;
    std::map<int, Grab> grabs;
    bool filterInstalled = false;
    // Where a keyboard switch's keymap reload is sent back to this connection; see deferReload.
    std::uint8_t xkbEvent = 0;
    xcb_window_t echo = 0;

    std::uint16_t ignoredMask() const { return std::uint16_t(XCB_MOD_MASK_LOCK | numLock); }

    std::vector<std::uint16_t> lockVariants() const
    {
        return {0, XCB_MOD_MASK_LOCK, numLock, std::uint16_t(XCB_MOD_MASK_LOCK | numLock)};
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t") return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        if (deferReload(ev)) return true;
        if ((ev->response_type & 0x7f) != XCB_KEY_PRESS) return false;
        auto* kp = reinterpret_cast<xcb_key_press_event_t*>(ev);
        if (kp->event != root) return false;
        const std::uint16_t state = kp->state & std::uint16_t(~ignoredMask()) & 0xff;
        for (const auto& [id, g] : grabs) {
            if (state != g.mask) continue;
            for (xcb_keycode_t kc : g.keycodes) {
                if (kc == kp->detail) {
                    onHotkey(id);
                    return true;
                }
            }
        }
        return false;
    }

    // A key from another keyboard (or the first from a new one) comes right behind the server's
    // notice that the keyboard changed, which the toolkit answers by fetching and compiling the
    // keymap anew: some twenty round trips, 3 to 13 ms on an idle machine, before the key itself
    // is looked at. The notice is sent back to this connection instead, so the toolkit takes it
    // a moment later, after the keys already queued behind it; the one sent back passes.
    bool deferReload(const xcb_generic_event_t* ev) const
    {
        constexpr std::uint8_t kNewKeyboardNotify = 0;
        constexpr std::uint16_t kKeycodesChanged = 1;
        if (!echo || ev->response_type != xkbEvent) return false; // sent ones have 0x80
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(ev);
        const std::uint16_t changed = std::uint16_t(bytes[16] | bytes[17] << 8);
        if (bytes[1] != kNewKeyboardNotify || !(changed & kKeycodesChanged)) return false;
        xcb_send_event(conn, 0, echo, 0, reinterpret_cast<const char*>(ev));
        xcb_flush(conn);
        return true;
    }

    void prepareDeferral()
    {
        if (echo) return;
        const char name[] = "XKEYBOARD";
        auto* ext = xcb_query_extension_reply(
            conn, xcb_query_extension(conn, sizeof name - 1, name), nullptr);
        if (ext && ext->present) {
            xkbEvent = ext->first_event;
            echo = xcb_generate_id(conn);
            xcb_create_window(conn, 0, echo, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                              XCB_COPY_FROM_PARENT, 0, nullptr);
        }
        free(ext);
    }

    std::uint16_t findNumLockMask(xcb_key_symbols_t* syms)
    {
        std::uint16_t mask = 0;
        xcb_keycode_t* numCodes = xcb_key_symbols_get_keycode(syms, 0xff7f /* Num_Lock */);
        auto* reply = xcb_get_modifier_mapping_reply(conn, xcb_get_modifier_mapping(conn), nullptr);
        if (reply && numCodes) {
            const xcb_keycode_t* map = xcb_get_modifier_mapping_keycodes(reply);
            const int per = reply->keycodes_per_modifier;
            for (int m = 0; m < 8; ++m)
                for (int k = 0; k < per; ++k)
                    for (xcb_keycode_t* c = numCodes; *c != XCB_NO_SYMBOL; ++c)
                        if (map[m * per + k] == *c) mask |= std::uint16_t(1u << m);
        }
        free(reply);
        free(numCodes);
        return mask;
    }
};

GlobalHotkey::GlobalHotkey(std::function<void(int)> onHotkey) : d_(std::make_unique<Impl>())
{
    d_->onHotkey = std::move(onHotkey);
    // A plain QCoreApplication (no display at all) has no X connection to grab on.
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (auto* x11 = gui ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        d_->conn = x11->connection();
        if (d_->conn) d_->root = xcb_setup_roots_iterator(xcb_get_setup(d_->conn)).data->root;
    }
}

GlobalHotkey::~GlobalHotkey()
{
    while (!d_->grabs.empty())
        Unregister(d_->grabs.begin()->first);
    if (d_->filterInstalled && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(d_.get());
    if (d_->echo) {
        xcb_destroy_window(d_->conn, d_->echo); // after any notice sent to it: same connection
        xcb_flush(d_->conn);
    }
}

GlobalHotkey::Result GlobalHotkey::Register(int id, int mods, int vk)
{
    if (!d_->conn) return Result::NoDisplay;
    const auto sym = VirtualKeyToKeysym(vk);
    if (!sym) return Result::NoSuchKey;
    Unregister(id);

    xcb_key_symbols_t* syms = xcb_key_symbols_alloc(d_->conn);
    if (!syms) return Result::NoDisplay;
    d_->numLock = d_->findNumLockMask(syms);
    Impl::Grab grab;
    grab.mask = ModifiersToXMask(mods);
    if (xcb_keycode_t* codes = xcb_key_symbols_get_keycode(syms, *sym)) {
        for (xcb_keycode_t* c = codes; *c != XCB_NO_SYMBOL; ++c)
            grab.keycodes.push_back(*c);
        free(codes);
    }
    xcb_key_symbols_free(syms);
    if (grab.keycodes.empty()) return Result::NoSuchKey;

    bool taken = false;
    for (xcb_keycode_t kc : grab.keycodes) {
        for (std::uint16_t lock : d_->lockVariants()) {
            xcb_void_cookie_t c =
                xcb_grab_key_checked(d_->conn, 1, d_->root, std::uint16_t(grab.mask | lock), kc,
                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t* e = xcb_request_check(d_->conn, c)) {
                taken = true; // BadAccess: another client holds this combination
                free(e);
            }
        }
    }
    if (taken) {
        for (xcb_keycode_t kc : grab.keycodes)
            for (std::uint16_t lock : d_->lockVariants())
                xcb_ungrab_key(d_->conn, kc, d_->root, std::uint16_t(grab.mask | lock));
        xcb_flush(d_->conn);
        return Result::Taken;
    }
    d_->grabs[id] = std::move(grab);
    d_->prepareDeferral();
    if (!d_->filterInstalled) {
        QCoreApplication::instance()->installNativeEventFilter(d_.get());
        d_->filterInstalled = true;
    }
    xcb_flush(d_->conn);
    return Result::Registered;
}

void GlobalHotkey::Unregister(int id)
{
    auto it = d_->grabs.find(id);
    if (it == d_->grabs.end()) return;
    if (d_->conn) {
        for (xcb_keycode_t kc : it->second.keycodes)
            for (std::uint16_t lock : d_->lockVariants())
                xcb_ungrab_key(d_->conn, kc, d_->root, std::uint16_t(it->second.mask | lock));
        xcb_flush(d_->conn);
    }
    d_->grabs.erase(it);
}

} // namespace tarvo
