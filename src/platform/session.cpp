#include "platform/session.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tarvo::platform {

namespace {

std::atomic<Backend> active{Backend::X11};

bool set(const char* v)
{
    return v && *v;
}

} // namespace

Backend ChooseBackend(const char* override, const char* waylandDisplay, const char* sessionType,
                      const char* display)
{
    if (set(override)) {
        if (std::strcmp(override, "wayland") == 0) return Backend::Wayland;
        if (std::strcmp(override, "x11") == 0) return Backend::X11;
    }
    if (set(waylandDisplay)) return Backend::Wayland;
    // A Wayland session whose WAYLAND_DISPLAY got lost still has the default socket; with a
    // DISPLAY it may be an X session started from it, so X wins there.
    if (set(sessionType) && std::strcmp(sessionType, "wayland") == 0 && !set(display))
        return Backend::Wayland;
    return Backend::X11;
}

void SelectBackend()
{
    const Backend b = ChooseBackend(std::getenv("TARVO_BACKEND"), std::getenv("WAYLAND_DISPLAY"),
                                    std::getenv("XDG_SESSION_TYPE"), std::getenv("DISPLAY"));
    active.store(b);
    if (!set(std::getenv("QT_QPA_PLATFORM")))
        ::setenv("QT_QPA_PLATFORM", b == Backend::Wayland ? "wayland" : "xcb", 1);
}

Backend ActiveBackend()
{
    return active.load();
}

bool ScreenCopyThroughPortal()
{
    const char* v = std::getenv("TARVO_SCREEN_COPY");
    return v && std::strcmp(v, "portal") == 0;
}

std::string_view BackendName(Backend backend)
{
    return backend == Backend::Wayland ? "wayland" : "x11";
}

} // namespace tarvo::platform
