#pragma once
// Which kind of desktop session the program talks to. Chosen once, before the toolkit starts,
// and fixed for the life of the process: the layers above platform/ never ask.
#include <string_view>

namespace tarvo::platform {

enum class Backend
{
    X11,
    Wayland,
};

// The choice for an environment (null or empty values count as unset):
// TARVO_BACKEND=x11|wayland wins; otherwise a Wayland session (WAYLAND_DISPLAY set, or
// XDG_SESSION_TYPE=wayland with no DISPLAY) runs natively on Wayland; everything else is X11.
Backend ChooseBackend(const char* override, const char* waylandDisplay, const char* sessionType,
                      const char* display);

// Reads the environment, remembers the choice and points the toolkit's platform plugin at it
// (QT_QPA_PLATFORM=wayland or xcb) unless the user set QT_QPA_PLATFORM. Call before the
// QGuiApplication is made.
void SelectBackend();

// The remembered choice; X11 until SelectBackend has run.
Backend ActiveBackend();

// TARVO_SCREEN_COPY=portal sends the screen copy through the desktop portal even where the
// compositor offers a direct copy (for tests, and for users whose compositor's copy is broken).
bool ScreenCopyThroughPortal();

std::string_view BackendName(Backend backend);

} // namespace tarvo::platform
