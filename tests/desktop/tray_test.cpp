// The tray as a person uses it: the icon, its menu, the hotkey, a panel that restarts.
#include "desktop/harness.h"
#include "support/notifications.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo::test {
namespace {

class Tray : public ::testing::Test
{
protected:
    void start(const std::vector<std::pair<std::string, std::string>>& settings = {})
    {
        if (!settings.empty()) d.writeSettings(settings);
        tarvo = d.startTarvo({{"TARVO_LOG", "1"}});
        ASSERT_TRUE(WaitUntil([&] { return !d.trayIconWindow("tarvo").empty(); }, 20s));
    }
    void openMenu()
    {
        const std::string icon = d.trayIconWindow("tarvo");
        d.run({"xdotool", "mousemove", "--window", icon, "12", "12", "click", "3"});
        ASSERT_TRUE(WaitUntil([&] { return d.trayMenuWindow() != ""; }, 10s)) << "no menu";
    }
    QByteArray store() const
    {
        QFile f(d.configHome() + "/tarvo/tarvo.reg");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    Desktop d;
    std::unique_ptr<Child> tarvo;
};

TEST_F(Tray, MenuChoosesTheClipboardDestinationAndSavesIt)
{
    start();
    openMenu();
    d.screenshot("tray-menu");
    // capture, options, web, clipboard: separators are skipped by the keyboard.
    d.run({"xdotool", "key", "Down", "Down", "Down", "Down", "Return"});
    EXPECT_TRUE(WaitUntil([&] { return store().contains("\"Destination\"=\"1\""); }, 10s))
        << store().toStdString();
}

TEST_F(Tray, ExitItemEndsTheProgramAndTheIconGoes)
{
    start();
    openMenu();
    d.run({"xdotool", "key", "Up", "Return"}); // the last item
    const auto rc = tarvo->wait(15s);
    ASSERT_TRUE(rc.has_value());
    EXPECT_EQ(*rc, 0);
    EXPECT_FALSE(d.trayHasIcon("tarvo"));
}

TEST_F(Tray, IconComesBackWhenThePanelRestarts)
{
    start();
    d.stopTray();
    d.startTray();
    EXPECT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 15s));
    EXPECT_TRUE(tarvo->running());
}

TEST_F(Tray, IconAppearsWhenThePanelStartsAfterTarvo)
{
    d.stopTray();
    tarvo = d.startTarvo();
    std::this_thread::sleep_for(3s); // past the splash, no tray yet
    d.startTray();
    EXPECT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 15s));
}

TEST_F(Tray, PrintScreenStartsACapture)
{
    start();
    d.run({"xdotool", "key", "Print"});
    ASSERT_TRUE(d.waitForLog("Capturing screen")) << d.readLog().toStdString();
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(d.waitForLog("Request cancelled")) << d.readLog().toStdString();
}

TEST_F(Tray, TheStoredHotkeyIsTheOneRegistered)
{
    start({{"Hotkey", "123"}, {"HotkeyMod", "2"}}); // Ctrl+F12
    d.run({"xdotool", "key", "Print"});
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(d.readLog().contains("Capturing screen"));
    d.run({"xdotool", "key", "ctrl+F12"});
    ASSERT_TRUE(d.waitForLog("Capturing screen")) << d.readLog().toStdString();
    d.run({"xdotool", "key", "Escape"});
}

TEST_F(Tray, DoubleClickCapturesWithoutAMenu)
{
    start();
    const std::string icon = d.trayIconWindow("tarvo");
    d.run({"xdotool", "mousemove", "--window", icon, "12", "12", "click", "--repeat", "2",
           "--delay", "80", "1"});
    ASSERT_TRUE(d.waitForLog("Capturing screen")) << d.readLog().toStdString();
    EXPECT_EQ(d.trayMenuWindow(), "");
    d.run({"xdotool", "key", "Escape"});
}

} // namespace
} // namespace tarvo::test

namespace tarvo::test {
namespace {

const QString kNoTrayNotice = QStringLiteral(
    "Значок Tarvo не виден: нет области уведомлений. Снимок: Print Screen или tarvo --capture.");

TEST(NoTray, TheDesktopIsToldOnceAndTheProgramKeepsRunning)
{
    PrivateNotificationBus bus;
    ASSERT_TRUE(bus.ok());
    Desktop d(false);
    auto tarvo = d.startTarvo(
        {{"TARVO_LOG", "1"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString()}});
    ASSERT_TRUE(d.waitForLog("No system tray: the icon is not shown", 20s));
    EXPECT_EQ(bus.shown(1), QStringList{kNoTrayNotice});
    EXPECT_TRUE(tarvo->running());
    // A panel that comes later gets the icon; the notice is not repeated.
    d.startTray();
    ASSERT_TRUE(WaitUntil([&] { return !d.trayIconWindow("tarvo").empty(); }, 20s));
    EXPECT_EQ(bus.shown(), QStringList{kNoTrayNotice});
    EXPECT_EQ(d.readLog().count("No system tray"), 1);
}

TEST(NoTray, WithATrayNothingIsSaid)
{
    PrivateNotificationBus bus;
    ASSERT_TRUE(bus.ok());
    Desktop d;
    auto tarvo = d.startTarvo(
        {{"TARVO_LOG", "1"}, {"DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString()}});
    ASSERT_TRUE(WaitUntil([&] { return !d.trayIconWindow("tarvo").empty(); }, 20s));
    EXPECT_TRUE(bus.shown().isEmpty());
    EXPECT_FALSE(d.readLog().contains("No system tray"));
}

TEST(Hotkey, ACombinationAnotherProgramHoldsDoesNothingAndIsLogged)
{
    Desktop d;
    auto first = d.startTarvo();
    ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 20s));
    // Another login session's Tarvo on the same display: its guard is its own, its grab fails.
    QDir().mkpath(d.home() + "/other-runtime");
    auto second = d.startTarvo(
        {{"TARVO_LOG", "1"}, {"XDG_RUNTIME_DIR", (d.home() + "/other-runtime").toStdString()}});
    EXPECT_TRUE(d.waitForLog("Cannot register hotkey Print Screen: another program holds it"))
        << d.readLog().toStdString();
    EXPECT_TRUE(second->running());
    EXPECT_TRUE(first->running());
}

} // namespace
} // namespace tarvo::test
