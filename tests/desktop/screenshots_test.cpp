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

// The program's visible windows other than the tray icon: "menu" for a popup (override-
// redirect and smaller than the screen), "overlay" for one that covers the whole screen.
bool tarvoWindow(Desktop& d, const std::string& kind)
{
    const std::string icon = d.trayIconWindow("tarvo");
    const unsigned long iconId = icon.empty() ? 0 : std::stoul(icon, nullptr, 16);
    const std::string ids = d.run({"xdotool", "search", "--onlyvisible", "--class", "tarvo"});
    for (size_t start = 0; start < ids.size();) {
        size_t end = ids.find('\n', start);
        if (end == std::string::npos) end = ids.size();
        const std::string id = ids.substr(start, end - start);
        start = end + 1;
        if (std::stoul(id) == iconId) continue;
        const std::string info = d.run({"xwininfo", "-id", id});
        const bool fullScreen = info.find("Width: 1280") != std::string::npos;
        const bool popup = info.find("Override Redirect State: yes") != std::string::npos;
        if (kind == "overlay" ? fullScreen : (popup && !fullScreen)) return true;
    }
    return false;
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
        return WaitUntil([&] { return tarvoWindow(d, "menu"); }, 10s);
    };
    ASSERT_TRUE(openMenu());
    std::this_thread::sleep_for(300ms); // the menu's first paint
    keep(d.screenshot("tray-menu"), "tray-menu.png");
    d.run({"xdotool", "key", "Escape"});

    Child capture({TARVO_BINARY, "--capture"}, d.env());
    ASSERT_EQ(capture.wait(10s), 0);
    ASSERT_TRUE(WaitUntil([&] { return tarvoWindow(d, "overlay"); }, 10s)) << "no overlay";
    d.run({"xdotool", "mousemove", "260", "170",       "sleep", "0.1", "mousedown",
           "1",       "sleep",     "0.1", "mousemove", "520",   "330", "sleep",
           "0.1",     "mousemove", "610", "400",       "sleep", "0.3"});
    keep(d.screenshot("selection"), "selection.png");
    d.run({"xdotool", "key", "Escape", "mouseup", "1"});
    ASSERT_TRUE(WaitUntil([&] { return !tarvoWindow(d, "overlay"); }, 10s));

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
