// The pictures the software centre shows: the tray menu, a selection being dragged on the
// frozen screen, the options dialog. Each is checked to be on the screen when it is taken;
// with TARVO_TEST_SHOTS set, they are copied there (data/screenshots/ holds the published ones).
#include "desktop/harness.h"
#include "support/helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo::test {
namespace {

void keep(const QString& path, const QString& name)
{
    const QString dir = qEnvironmentVariable("TARVO_TEST_SHOTS");
    if (dir.isEmpty()) return;
    QDir().mkpath(dir);
    QFile::remove(dir + "/" + name);
    QFile::copy(path, dir + "/" + name);
}

TEST(Screenshots, TrayMenuSelectionAndOptions)
{
    Desktop d;
    const QString picture = d.home() + "/picture.png";
    test::Pattern(640, 420).save(picture);
    Child viewer({"display", "-geometry", "+120+90", "-title", "picture", picture.toStdString()},
                 d.env(), (d.home() + "/display.log").toStdString());
    ASSERT_TRUE(WaitUntil([&] { return !d.visibleWindows("^picture$").empty(); }, 15s));
    auto tarvo = d.startTarvo();
    ASSERT_TRUE(WaitUntil([&] { return !d.trayIconWindow("tarvo").empty(); }, 20s));
    ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));

    const std::string icon = d.trayIconWindow("tarvo");
    auto openMenu = [&] {
        d.run({"xdotool", "mousemove", "--window", icon, "12", "12", "click", "3"});
        return WaitUntil([&] { return !d.trayMenuWindow().empty(); }, 10s);
    };
    ASSERT_TRUE(openMenu());
    std::this_thread::sleep_for(300ms); // the menu's first paint
    keep(d.screenshot("tray-menu"), "tray-menu.png");
    d.run({"xdotool", "key", "Escape"});

    Child capture({TARVO_BINARY, "--capture"}, d.env());
    ASSERT_EQ(capture.wait(10s), 0);
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s)) << "no overlay";
    d.run({"xdotool", "mousemove", "260", "170",       "sleep", "0.1", "mousedown",
           "1",       "sleep",     "0.1", "mousemove", "520",   "330", "sleep",
           "0.1",     "mousemove", "610", "400",       "sleep", "0.3"});
    keep(d.screenshot("selection"), "selection.png");
    d.run({"xdotool", "key", "Escape", "mouseup", "1"});
    ASSERT_TRUE(WaitUntil([&] { return !d.overlayVisible(); }, 10s));

    ASSERT_TRUE(openMenu());
    d.run({"xdotool", "key", "Down", "Down", "Return"}); // capture, options
    ASSERT_TRUE(WaitUntil([&] { return !d.visibleWindows("^Tarvo Options$").empty(); }, 10s));
    std::this_thread::sleep_for(300ms);
    keep(d.screenshot("options"), "options.png");
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo Options$").empty(); }, 10s));
    viewer.stop();
}

} // namespace
} // namespace tarvo::test
