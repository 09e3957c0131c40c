// The capture shortcut's portal path against a stand-in portal on a private bus, and the
// translation of the stored key into the portal's trigger text.
#include "platform/global_shortcuts.h"
#include "platform/hotkey.h"
#include "support/fake_portal.h"
#include "support/wait.h"

#include <QDBusConnection>
#include <gtest/gtest.h>

namespace tarvo::platform {
namespace {

using State = CaptureShortcut::State;

TEST(PortalTrigger, NamesTheKeyAndModifiersAsThePortalParsesThem)
{
    const struct
    {
        int mods;
        int vk;
        const char* text;
    } cases[] = {
        {0, 0x2C, "Print"},
        {MOD_CONTROL | MOD_SHIFT, 0x2C, "CTRL+SHIFT+Print"},
        {MOD_ALT, 0x70, "ALT+F1"},
        {0, 0x87, "F24"},
        {MOD_WIN, 'A', "LOGO+a"},
        {0, '7', "7"},
        {0, 0x60, "KP_0"},
        {0, 0x6B, "KP_Add"},
        {0, 0xBA, "semicolon"},
        {MOD_ALT | MOD_CONTROL | MOD_SHIFT | MOD_WIN, 0x2E, "CTRL+ALT+SHIFT+LOGO+Delete"},
        {0, 0x21, "Prior"},
        {0, 0xAD, "XF86AudioMute"},
        // No key: nothing to prefer, whatever the modifiers.
        {MOD_CONTROL, 0, ""},
        {0, 0xE8, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortalTrigger(c.mods, c.vk), QString::fromLatin1(c.text)) << c.vk;
}

TEST(PortalTrigger, EveryKeyTheGrabKnowsHasAPortalName)
{
    for (int vk = 0; vk < 256; ++vk) {
        if (VirtualKeyToKeysym(vk)) {
            EXPECT_FALSE(PortalTrigger(0, vk).isEmpty()) << vk;
        }
    }
}

TEST(ChooseShortcutKind, TheOverrideWinsAndWaylandUsesThePortal)
{
    const struct
    {
        const char* override;
        Backend backend;
        ShortcutKind kind;
    } cases[] = {
        {nullptr, Backend::X11, ShortcutKind::KeyGrab},
        {nullptr, Backend::Wayland, ShortcutKind::Portal},
        {"portal", Backend::X11, ShortcutKind::Portal},
        {"x11", Backend::Wayland, ShortcutKind::KeyGrab},
        {"", Backend::Wayland, ShortcutKind::Portal},
        {"bogus", Backend::X11, ShortcutKind::KeyGrab},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseShortcutKind(c.override, c.backend), c.kind)
            << (c.override ? c.override : "(unset)");
}

class PortalShortcutTest : public ::testing::Test
{
protected:
    std::unique_ptr<CaptureShortcut> connect(const QString& address, int timeoutMs = 5000)
    {
        name_ = QStringLiteral("shortcut test ") + address;
        auto s = MakePortalShortcut(QDBusConnection::connectToBus(address, name_), timeoutMs);
        QObject::connect(s.get(), &CaptureShortcut::activated, [this] { ++activations; });
        return s;
    }
    void TearDown() override
    {
        if (!name_.isEmpty()) QDBusConnection::disconnectFromBus(name_);
    }
    static bool settled(const CaptureShortcut& s) { return s.state() != State::Pending; }

    int activations = 0;
    QString name_;
};

TEST_F(PortalShortcutTest, BindsTheStoredKeyAndCapturesOnActivated)
{
    test::FakePortal portal;
    ASSERT_TRUE(portal.ok());
    auto s = connect(portal.address());
    EXPECT_EQ(s->kind(), ShortcutKind::Portal);
    s->Register(MOD_CONTROL | MOD_SHIFT, 0x2C);
    EXPECT_EQ(s->state(), State::Pending); // nothing is claimed before the portal answers
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return settled(*s); })) << "no answer";
    EXPECT_EQ(s->state(), State::Active) << s->reason().toStdString();
    EXPECT_EQ(s->trigger(), "CTRL+SHIFT+Print");

    const auto rec = portal.record();
    ASSERT_EQ(rec.bound.size(), 1);
    EXPECT_EQ(rec.bound[0].id, "capture");
    EXPECT_EQ(rec.bound[0].properties.value("preferred_trigger").toString(), "CTRL+SHIFT+Print");
    EXPECT_FALSE(rec.bound[0].properties.value("description").toString().isEmpty());
    EXPECT_EQ(rec.bindSession, rec.sessionPath);
    // Each request had its own token under the caller's escaped unique name.
    ASSERT_EQ(rec.requestPaths.size(), 2);
    EXPECT_NE(rec.requestPaths[0], rec.requestPaths[1]);
    QString sender = QDBusConnection(name_).baseService().mid(1);
    sender.replace(u'.', u'_');
    for (const QString& p : rec.requestPaths)
        EXPECT_TRUE(p.startsWith("/org/freedesktop/portal/desktop/request/" + sender + "/"))
            << p.toStdString();

    portal.activate("some-other-shortcut");
    portal.activate("capture");
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return activations > 0; })) << "no activation";
    test::ProcessEventsUntil([] { return false; }, 200);
    EXPECT_EQ(activations, 1);

    // The user rebinds it in the desktop's settings: what is shown follows.
    portal.changeTrigger("capture", "Ctrl+Alt+S");
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return s->trigger() == "Ctrl+Alt+S"; }))
        << s->trigger().toStdString();
    EXPECT_EQ(s->state(), State::Active);
}

TEST_F(PortalShortcutTest, ShowsTheDescriptionThePortalGives)
{
    test::FakePortalSettings settings;
    settings.boundDescription = "Print Screen";
    test::FakePortal portal(true, settings);
    ASSERT_TRUE(portal.ok());
    auto s = connect(portal.address());
    s->Register(0, 0x2C);
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return settled(*s); }));
    EXPECT_EQ(s->state(), State::Active);
    EXPECT_EQ(s->trigger(), "Print Screen");
    EXPECT_EQ(portal.record().bound[0].properties.value("preferred_trigger").toString(), "Print");
}

TEST_F(PortalShortcutTest, WithoutAUsablePortalNothingIsActiveAndNothingCaptures)
{
    const struct
    {
        const char* name;
        bool portal;
        bool withShortcuts;
        test::FakePortalSettings settings;
        State state;
    } cases[] = {
        {"no portal at all", false, false, {}, State::Unavailable},
        {"a portal without global shortcuts", true, false, {}, State::Unavailable},
        {"the user cancels the session", true, true, {.createAnswer = 1}, State::Refused},
        {"the binding fails", true, true, {.bindAnswer = 2}, State::Refused},
        {"the portal never answers", true, true, {.answer = false}, State::Refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::PrivateBus bare;
        std::unique_ptr<test::FakePortal> portal;
        if (c.portal) portal = std::make_unique<test::FakePortal>(c.withShortcuts, c.settings);
        const QString address = portal ? portal->address() : bare.address();
        ASSERT_FALSE(address.isEmpty());
        auto s = connect(address, 1000);
        s->Register(0, 0x2C);
        ASSERT_TRUE(test::ProcessEventsUntil([&] { return settled(*s); }, 10000));
        EXPECT_EQ(s->state(), c.state);
        EXPECT_TRUE(s->trigger().isEmpty());
        EXPECT_FALSE(s->reason().isEmpty());
        if (portal && c.withShortcuts) portal->activate("capture");
        test::ProcessEventsUntil([] { return false; }, 100);
        EXPECT_EQ(activations, 0);
        s.reset();
        QDBusConnection::disconnectFromBus(name_);
    }
}

TEST_F(PortalShortcutTest, NoBusMeansUnavailable)
{
    auto s = MakePortalShortcut(QDBusConnection(QStringLiteral("never connected")), 1000);
    s->Register(0, 0x2C);
    EXPECT_EQ(s->state(), State::Unavailable);
}

} // namespace
} // namespace tarvo::platform
