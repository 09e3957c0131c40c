// Start-up as a person sees it: the splash, the icon in the tray, the second start.
#include "desktop/harness.h"

#include <QFile>
#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

bool splashVisible(Desktop& d)
{
    for (const auto& id : d.visibleWindows("^Tarvo$")) {
        const std::string geo = d.run({"xdotool", "getwindowgeometry", id});
        if (geo.find("360x240") != std::string::npos) return true;
    }
    return false;
}

TEST(Startup, SplashForTwoSecondsThenRunsHiddenWithItsIconInTheTray)
{
    Desktop d;
    auto tarvo = d.startTarvo({{"TARVO_TEST_SHORT_WAITS", "0"}}); // the real splash
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] { return splashVisible(d); }, 10s)) << "no splash";
    ASSERT_TRUE(WaitUntil([&] { return !splashVisible(d); }, 10s));
    const auto shown = std::chrono::steady_clock::now() - start;
    EXPECT_GE(shown, 1900ms);
    EXPECT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 10s));
    EXPECT_TRUE(tarvo->running());
    EXPECT_TRUE(d.visibleWindows("^Tarvo$").empty()); // the main window stays hidden
}

TEST(Startup, SecondStartShowsTheMessageAndEndsFirstKeepsRunning)
{
    Desktop d;
    auto first = d.startTarvo();
    ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 15s));

    auto second = d.startTarvo();
    // Its own splash first, then the message box.
    std::string box;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const auto& id : d.visibleWindows("^Tarvo$")) {
                if (d.run({"xdotool", "getwindowgeometry", id}).find("360x240") ==
                    std::string::npos) {
                    box = id;
                    return true;
                }
            }
            return false;
        },
        15s))
        << "no message box";
    d.screenshot("second-start");
    EXPECT_TRUE(second->running());
    d.run({"xdotool", "windowactivate", "--sync", box});
    d.run({"xdotool", "key", "--window", box, "Return"});
    const auto rc = second->wait(10s);
    ASSERT_TRUE(rc.has_value()) << "second start did not end";
    EXPECT_EQ(*rc, 0);
    EXPECT_TRUE(first->running());
    EXPECT_TRUE(d.trayHasIcon("tarvo"));
}

} // namespace
} // namespace tarvo::test
