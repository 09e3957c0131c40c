#pragma once
// The global capture hotkey: a passive key grab on the X root window. Combinations are given
// as Windows virtual-key codes and MOD_* bits, as the settings store them.
#include <QtGlobal>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tarvo {

constexpr int MOD_ALT = 1;
constexpr int MOD_CONTROL = 2;
constexpr int MOD_SHIFT = 4;
constexpr int MOD_WIN = 8;

// The X keysym for a virtual-key code, or nothing when the code names no key here.
std::optional<std::uint32_t> VirtualKeyToKeysym(int vk);
// X modifier mask bits for MOD_* bits (Alt = Mod1, Win = Mod4).
std::uint16_t ModifiersToXMask(int mods);

class GlobalHotkey
{
public:
    enum class Result
    {
        Registered,
        NoDisplay,
        NoSuchKey,
        Taken
    };

    explicit GlobalHotkey(std::function<void(int id)> onHotkey);
    ~GlobalHotkey();
    GlobalHotkey(const GlobalHotkey&) = delete;
    GlobalHotkey& operator=(const GlobalHotkey&) = delete;

    // Grabs every keycode that carries the key's symbol, with and without NumLock and
    // CapsLock. Without an X display (e.g. the offscreen platform) nothing is grabbed.
    Result Register(int id, int mods, int vk);
    void Unregister(int id);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace tarvo
