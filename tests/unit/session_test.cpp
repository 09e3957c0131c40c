#include "platform/session.h"

#include <gtest/gtest.h>

namespace tarvo::platform {

TEST(Session, BackendFollowsTheEnvironmentAndTheOverride)
{
    struct Case
    {
        const char* override;
        const char* wayland;
        const char* type;
        const char* display;
        Backend expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, ":0", Backend::X11},
        {nullptr, "wayland-1", "wayland", ":0", Backend::Wayland}, // Xwayland beside it
        {nullptr, "wayland-1", nullptr, nullptr, Backend::Wayland},
        {nullptr, "", "x11", ":0", Backend::X11},
        {nullptr, nullptr, "wayland", nullptr, Backend::Wayland},
        {nullptr, nullptr, "wayland", ":1", Backend::X11},
        {"x11", "wayland-1", "wayland", ":0", Backend::X11},
        {"wayland", nullptr, nullptr, ":0", Backend::Wayland},
        {"bogus", "wayland-1", nullptr, nullptr, Backend::Wayland}, // an unknown value is ignored
        {"", nullptr, nullptr, ":0", Backend::X11},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseBackend(c.override, c.wayland, c.type, c.display), c.expected)
            << (c.override ? c.override : "-") << ' ' << (c.wayland ? c.wayland : "-") << ' '
            << (c.type ? c.type : "-") << ' ' << (c.display ? c.display : "-");
}

} // namespace tarvo::platform
