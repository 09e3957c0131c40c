// The capture shortcut through the desktop portal (forced on this X11 desktop with
// TARVO_SHORTCUTS=portal): a stand-in portal on a private bus binds it, and its Activated
// signal captures; without a portal the program registers nothing and says how to bind one.
#include "desktop/harness.h"
#include "support/fake_portal.h"

#include <gtest/gtest.h>
#include <thread>

namespace tarvo::test {
namespace {

std::unique_ptr<Child> StartWithPortal(Desktop& d, const QString& bus)
{
    return d.startTarvo({{"TARVO_LOG", "1"},
                         {"TARVO_SHORTCUTS", "portal"},
                         {"DBUS_SESSION_BUS_ADDRESS", bus.toStdString()}});
}

TEST(PortalShortcut, TheStoredKeyIsPreferredAndActivatedCaptures)
{
    FakePortal portal;
    ASSERT_TRUE(portal.ok());
    Desktop d;
    d.writeSettings({{"Hotkey", "44"}, {"HotkeyMod", "6"}}); // Ctrl+Shift+Print Screen
    auto tarvo = StartWithPortal(d, portal.address());
    ASSERT_TRUE(portal.waitForBind()) << d.readLog().toStdString();
    const auto rec = portal.record();
    ASSERT_EQ(rec.bound.size(), 1);
    EXPECT_EQ(rec.bound[0].properties.value("preferred_trigger").toString(), "CTRL+SHIFT+Print");
    ASSERT_TRUE(d.waitForLog("Global shortcut bound by the desktop: CTRL+SHIFT+Print"))
        << d.readLog().toStdString();

    // The desktop owns the key now: an X grab would be a second, unannounced one.
    d.run({"xdotool", "key", "ctrl+shift+Print"});
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(d.readLog().contains("Capturing screen"));

    portal.activate("capture");
    ASSERT_TRUE(d.waitForLog("Capturing screen")) << d.readLog().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s));
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(d.waitForLog("Request cancelled")) << d.readLog().toStdString();
    EXPECT_TRUE(tarvo->running());
}

TEST(PortalShortcut, WithoutThePortalNothingIsRegisteredAndTheLogSaysHowToBindOne)
{
    const struct
    {
        const char* name;
        bool portal;
    } cases[] = {{"no portal", false}, {"a portal without global shortcuts", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PrivateBus bare;
        std::unique_ptr<FakePortal> portal;
        if (c.portal) portal = std::make_unique<FakePortal>(false);
        Desktop d;
        auto tarvo = StartWithPortal(d, portal ? portal->address() : bare.address());
        ASSERT_TRUE(d.waitForLog("No global shortcut: "));
        EXPECT_TRUE(d.readLog().contains(
            "Bind a key in the desktop's settings to the command tarvo --capture"))
            << d.readLog().toStdString();
        d.run({"xdotool", "key", "Print"});
        std::this_thread::sleep_for(1s);
        EXPECT_FALSE(d.readLog().contains("Capturing screen"));
        EXPECT_TRUE(tarvo->running());
    }
}

} // namespace
} // namespace tarvo::test
