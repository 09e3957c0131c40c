// The tray on a host that speaks StatusNotifierItem over D-Bus (on X11 here: the program sees
// a watcher and exports an item instead of docking an XEmbed icon). The host's calls are made
// by the test as such a host makes them: Activate for a left click, SecondaryActivate for a
// middle click, and clicks on the exported menu.
#include "desktop/harness.h"
#include "support/fake_portal.h"
#include "support/fake_sni.h"
#include "support/http_server.h"

#include <QFile>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo::test {
namespace {

class SniTray : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.ok());
        tarvo = d.startTarvo(
            {{"TARVO_LOG", "1"}, {"DBUS_SESSION_BUS_ADDRESS", host.address().toStdString()}});
        item = host.waitForItem();
        ASSERT_TRUE(item.has_value()) << "no item registered\n" << d.readLog().toStdString();
        // Past the start-up: the splash is gone and the window hidden.
        ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));
    }
    QByteArray store() const
    {
        QFile f(d.configHome() + "/tarvo/tarvo.reg");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    // Every popup of the program now up (override-redirect windows smaller than the screen).
    int menusShown()
    {
        int n = 0;
        const std::string ids = d.run({"xdotool", "search", "--onlyvisible", "--class", "tarvo"});
        for (size_t start = 0; start < ids.size();) {
            size_t end = ids.find('\n', start);
            if (end == std::string::npos) end = ids.size();
            const std::string info = d.run({"xwininfo", "-id", ids.substr(start, end - start)});
            start = end + 1;
            if (info.find("Override Redirect State: yes") != std::string::npos &&
                info.find("Width: 1280\n") == std::string::npos)
                ++n;
        }
        return n;
    }

    Desktop d{false}; // no XEmbed tray: the watcher is the only host
    FakeTrayHost host;
    std::unique_ptr<Child> tarvo;
    std::optional<SniItem> item;
};

TEST_F(SniTray, TheItemIsRegisteredAndTheProgramSaysNothingAboutAMissingTray)
{
    EXPECT_EQ(host.property(*item, "Menu").value<QDBusObjectPath>().path().toStdString(),
              "/MenuBar");
    EXPECT_FALSE(d.readLog().contains("No system tray"));
    EXPECT_TRUE(d.readLog().contains("Tray icon: a StatusNotifierItem"));
    EXPECT_TRUE(tarvo->running());
}

TEST_F(SniTray, ActivateOpensTheMenuAndASecondOneNeverStacksAnother)
{
    ASSERT_TRUE(host.call(*item, "Activate"));
    ASSERT_TRUE(WaitUntil([&] { return menusShown() == 1; }, 10s)) << "no menu";
    // Two quick clicks, then one more while the menu is up.
    ASSERT_TRUE(host.call(*item, "Activate"));
    ASSERT_TRUE(host.call(*item, "Activate"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(menusShown(), 1);
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(WaitUntil([&] { return menusShown() == 0; }, 10s));
    // Closed, it opens again.
    ASSERT_TRUE(host.call(*item, "Activate"));
    EXPECT_TRUE(WaitUntil([&] { return menusShown() == 1; }, 10s));
    d.run({"xdotool", "key", "Escape"});
}

TEST_F(SniTray, SecondaryActivateCaptures)
{
    ASSERT_TRUE(host.call(*item, "SecondaryActivate"));
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s)) << d.readLog().toStdString();
    EXPECT_EQ(menusShown(), 0);
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(d.waitForLog("Request cancelled")) << d.readLog().toStdString();
}

TEST_F(SniTray, SecondaryActivateWithTheMenuOpenClosesItAndCaptures)
{
    ASSERT_TRUE(host.call(*item, "Activate"));
    ASSERT_TRUE(WaitUntil([&] { return menusShown() == 1; }, 10s)) << "no menu";
    ASSERT_TRUE(host.call(*item, "SecondaryActivate"));
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s)) << d.readLog().toStdString();
    EXPECT_EQ(menusShown(), 0);
    d.run({"xdotool", "key", "Escape"});
}

TEST_F(SniTray, TheExportedMenuIsTheTrayMenuAndSwitchesTheDestination)
{
    const auto menu = host.menu(*item);
    ASSERT_TRUE(menu.has_value());
    std::vector<std::string> labels;
    for (const MenuEntry& e : menu->children)
        labels.push_back(e.label().toStdString());
    ASSERT_GE(labels.size(), 11u);
    EXPECT_EQ(labels.front(), "_Захватить экран!\tPrint Screen");
    EXPECT_EQ(labels.back(), "_Выход из Tarvo");
    const MenuEntry* clipboard = menu->find("в буфер обмена");
    ASSERT_NE(clipboard, nullptr);
    EXPECT_EQ(clipboard->properties.value("toggle-type").toString(), "radio");
    EXPECT_EQ(clipboard->properties.value("toggle-state").toInt(), 0);

    ASSERT_TRUE(host.click(*item, clipboard->id));
    ASSERT_TRUE(WaitUntil([&] { return store().contains("\"Destination\"=\"1\""); }, 10s))
        << store().toStdString();
    // The host's copy follows: the mark moved.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto now = host.menu(*item);
            const MenuEntry* c = now ? now->find("в буфер обмена") : nullptr;
            return c && c->properties.value("toggle-state").toInt() == 1;
        },
        10s));
    EXPECT_EQ(menusShown(), 0);
    // The entries kept their ids: a click on the copy read before the change still lands.
    const MenuEntry* file = menu->find("в файл");
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(host.click(*item, file->id));
    EXPECT_TRUE(WaitUntil([&] { return store().contains("\"Destination\"=\"2\""); }, 10s))
        << store().toStdString();
}

TEST(SniTrayUpload, TheBusyIconShowsWhileAnUploadRuns)
{
    FakeTrayHost host;
    ASSERT_TRUE(host.ok());
    HttpServer server;
    server.setReply(Reply(200, "OK", 3s));
    Desktop d(false);
    d.writeSettings({{"Destination", "0"}});
    auto tarvo = d.startTarvo({{"TARVO_LOG", "1"},
                               {"TARVO_SERVICE_URL", server.baseUrl().toStdString()},
                               {"no_proxy", "127.0.0.1"},
                               {"DBUS_SESSION_BUS_ADDRESS", host.address().toStdString()}});
    const auto item = host.waitForItem();
    ASSERT_TRUE(item.has_value());
    ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));
    const QByteArray idle = host.iconPixels(*item);
    ASSERT_FALSE(idle.isEmpty());

    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return host.iconPixels(*item) != idle; }, 10s))
        << "the icon did not change during the upload";
    EXPECT_EQ(host.property(*item, "ToolTip").isValid(), true);
    ASSERT_TRUE(WaitUntil([&] { return d.readLog().contains(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return host.iconPixels(*item) == idle; }, 10s))
        << "the idle icon did not come back";
}

TEST_F(SniTray, TheExportedExitItemEndsTheProgram)
{
    const auto menu = host.menu(*item);
    ASSERT_TRUE(menu.has_value());
    const MenuEntry* exit = menu->find("Выход");
    ASSERT_NE(exit, nullptr);
    ASSERT_TRUE(host.click(*item, exit->id));
    const auto rc = tarvo->wait(15s);
    ASSERT_TRUE(rc.has_value());
    EXPECT_EQ(*rc, 0);
}

} // namespace
} // namespace tarvo::test
