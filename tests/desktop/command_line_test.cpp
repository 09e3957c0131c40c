// The command line as a desktop's shortcut settings and the menu's action use it:
// `tarvo --capture file` with Tarvo running and without, and an option Tarvo does not know.
#include "desktop/harness.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace tarvo::test {
namespace {

class CommandLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        shots = d.home() + "/shots";
        QDir().mkpath(shots);
        // The menu says clipboard: a file proves the command line's destination was used.
        d.writeSettings({{"Destination", "1"}, {"Target Folder", shots.toStdString()}});
    }

    std::unique_ptr<Child> tarvo(const std::vector<std::string>& args, const QString& output = {})
    {
        std::vector<std::string> argv{TARVO_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        auto env = d.env();
        env["TARVO_LOG"] = "1";
        env["LC_ALL"] = "C.UTF-8"; // the English texts
        return std::make_unique<Child>(argv, env, output.toStdString());
    }

    QStringList files() const { return QDir(shots).entryList(QDir::Files, QDir::Name); }
    int capturesInLog() const { return int(d.readLog().count("Capturing screen")); }

    Desktop d;
    QString shots;
};

TEST_F(CommandLine, CaptureWithAnInstanceRunningIsDoneThereOnceAndTheCommandEndsAtOnce)
{
    auto first = tarvo({});
    ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 20s)) << "no tray icon";
    ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));

    auto second = tarvo({"--capture", "file"});
    // It has ended while the running instance's overlay still waits for the selection: it
    // handed the capture over and did not wait for it.
    const auto rc = second->wait(10s);
    ASSERT_TRUE(rc.has_value()) << "the second start did not end";
    EXPECT_EQ(*rc, 0);
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s)) << "no overlay";
    EXPECT_TRUE(files().isEmpty());
    d.drag(100, 100, 300, 250);
    ASSERT_TRUE(WaitUntil([&] { return !files().isEmpty(); }, 10s)) << d.readLog().toStdString();
    EXPECT_EQ(files(), QStringList{"screenshot_00001.png"});
    EXPECT_EQ(capturesInLog(), 1);
    EXPECT_TRUE(WaitUntil([&] { return !d.overlayVisible(); }, 10s));
    EXPECT_TRUE(first->running());
    EXPECT_TRUE(d.trayHasIcon("tarvo"));
    // No splash of a second copy and no "already loaded" message came up.
    EXPECT_TRUE(d.visibleWindows("^Tarvo$").empty());

    // A second request after the first one: again exactly one capture.
    auto third = tarvo({"--capture"});
    ASSERT_EQ(third->wait(10s), 0);
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 10s)) << "no overlay";
    d.run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(WaitUntil([&] { return !d.overlayVisible(); }, 10s));
    EXPECT_EQ(files(), QStringList{"screenshot_00001.png"}); // the menu's clipboard, no file
    EXPECT_EQ(capturesInLog(), 2);
}

TEST_F(CommandLine, CaptureWithoutAnInstanceStartsOneThatCapturesOnceItsIconIsUp)
{
    auto only = tarvo({"--capture", "file"});
    ASSERT_TRUE(WaitUntil([&] { return d.overlayVisible(); }, 20s)) << "no overlay";
    EXPECT_TRUE(d.trayHasIcon("tarvo"));
    d.drag(100, 100, 300, 250);
    ASSERT_TRUE(WaitUntil([&] { return !files().isEmpty(); }, 10s)) << d.readLog().toStdString();
    EXPECT_EQ(files(), QStringList{"screenshot_00001.png"});
    EXPECT_EQ(capturesInLog(), 1);
    EXPECT_TRUE(only->running()); // it stays in the tray afterwards
}

TEST_F(CommandLine, UnknownOptionIsOneLineNamingItAndStatusTwo)
{
    const QString out = d.home() + "/out.txt";
    auto bad = tarvo({"--capture", "--frobnicate"}, out);
    ASSERT_EQ(bad->wait(10s), 2);
    QFile f(out);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "tarvo: unknown option '--frobnicate'\n");
    // Nothing started: no splash, no icon, no lock left behind.
    EXPECT_TRUE(d.visibleWindows("^Tarvo$").empty());
    EXPECT_FALSE(d.trayHasIcon("tarvo"));
}

} // namespace
} // namespace tarvo::test
