// The Wayland screen copy in a real compositor (headless sway), held pixel for pixel against
// grim's copy of the same screen, through the direct copy and through the portal.
#include "wayland/harness.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sstream>

namespace tarvo::test {
namespace {

bool HaveSway()
{
    return !QStandardPaths::findExecutable("sway").isEmpty() &&
           !QStandardPaths::findExecutable("grim").isEmpty();
}

#define REQUIRE_SWAY()                                                                             \
    do {                                                                                           \
        if (!HaveSway()) GTEST_SKIP() << "sway or grim is not installed";                          \
    } while (0)

struct CopyResult
{
    int rc = -1;
    std::string stdoutText{};
    QImage image{};
    QRect area{};
    std::vector<std::pair<std::string, QRect>> outputs{};
    std::chrono::milliseconds took{};
};

CopyResult RunCopy(WaylandDesktop& d, const std::vector<std::string>& flags,
                   const std::map<std::string, std::string>& env = {})
{
    static int count = 0;
    const std::string file = d.home().toStdString() + "/copy-" + std::to_string(++count) + ".png";
    std::vector<std::string> argv{d.executable(TARVO_WL_COPY)};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(file);
    CopyResult r;
    const auto start = std::chrono::steady_clock::now();
    r.stdoutText = d.run(argv, &r.rc, 60s, env);
    r.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::istringstream lines(r.stdoutText);
    std::string word;
    while (lines >> word) {
        if (word == "area") {
            int x, y, w, h;
            lines >> x >> y >> w >> h;
            r.area = QRect(x, y, w, h);
        } else if (word == "output") {
            std::string name;
            int x, y, w, h, scale;
            lines >> name >> x >> y >> w >> h >> scale;
            r.outputs.emplace_back(name, QRect(x, y, w, h));
        }
    }
    if (r.rc == 0) r.image.load(QString::fromStdString(file));
    return r;
}

struct Layout
{
    const char* name;
    std::vector<WaylandOutputSpec> outputs;
    QSize picture; // device pixels
    std::vector<QRect> rects;
};

const Layout kLayouts[] = {
    {"one output at scale 1", {{640, 480, 1, 0, {}}}, QSize(640, 480), {QRect(0, 0, 640, 480)}},
    {"one output at scale 2", {{640, 480, 2, 0, {}}}, QSize(640, 480), {QRect(0, 0, 640, 480)}},
    {"two outputs side by side",
     {{640, 480, 1, 0, {}}, {320, 240, 1, 0, {}}},
     QSize(960, 480),
     {QRect(0, 0, 640, 480), QRect(640, 0, 320, 240)}},
    {"two outputs at scale 2",
     {{640, 480, 2, 0, {}}, {400, 300, 2, 0, {}}},
     QSize(1040, 480),
     {QRect(0, 0, 640, 480), QRect(640, 0, 400, 300)}},
    {"an output turned by 90 degrees beside a plain one",
     {{640, 480, 1, 90, {}}, {320, 240, 1, 0, {}}},
     QSize(800, 640),
     {QRect(0, 0, 480, 640), QRect(480, 0, 320, 240)}},
};

void ExpectSameAsGrim(WaylandDesktop& d, const CopyResult& r, const Layout& layout, bool checkRects)
{
    ASSERT_EQ(r.rc, 0) << r.stdoutText;
    const QImage reference = d.grim();
    ASSERT_FALSE(reference.isNull());
    EXPECT_EQ(r.image.size(), layout.picture);
    EXPECT_EQ(r.area, QRect(QPoint(0, 0), layout.picture));
    std::string where;
    EXPECT_TRUE(SameRgb(r.image, reference, &where)) << where;
    if (!checkRects) return;
    ASSERT_EQ(r.outputs.size(), layout.rects.size()) << r.stdoutText;
    for (size_t i = 0; i < layout.rects.size(); ++i) {
        EXPECT_EQ(r.outputs[i].first, d.outputNames()[i]);
        EXPECT_EQ(r.outputs[i].second, layout.rects[i]) << r.outputs[i].first;
    }
}

TEST(WaylandCopy, DirectCopyEqualsGrim)
{
    REQUIRE_SWAY();
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        const auto started = std::chrono::steady_clock::now();
        WaylandDesktop d(layout.outputs);
        ASSERT_TRUE(d.ok()) << d.error();
        const CopyResult r = RunCopy(d, {});
        ExpectSameAsGrim(d, r, layout, true);
        std::printf("[ timing ] %s: session %lld ms, copy %lld ms\n", layout.name,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count()),
                    static_cast<long long>(r.took.count()));
    }
}

TEST(WaylandCopy, PortalCopyEqualsGrim)
{
    REQUIRE_SWAY();
    for (const Layout& layout : kLayouts) {
        if (layout.outputs[0].rotation != 0) continue; // covered by the direct copy
        SCOPED_TRACE(layout.name);
        WaylandDesktop d(layout.outputs);
        ASSERT_TRUE(d.ok()) << d.error();
        ASSERT_TRUE(d.startPortal()) << d.readLog("portal.log").toStdString();
        // Through the program's own choice, forced to the portal by the environment, with the
        // toolkit on Wayland giving the outputs.
        auto env = d.qtWaylandEnv();
        env["TARVO_SCREEN_COPY"] = "portal";
        const CopyResult r = RunCopy(d, {"--auto", "--gui"}, env);
        ExpectSameAsGrim(d, r, layout, false);
        // The toolkit names the outputs as the compositor does.
        ASSERT_EQ(r.outputs.size(), layout.rects.size()) << r.stdoutText;
        for (size_t i = 0; i < layout.rects.size(); ++i)
            EXPECT_EQ(r.outputs[i].second, layout.rects[i]) << r.outputs[i].first;
        // The portal's file lay in the session's /tmp, and is gone.
        EXPECT_TRUE(QDir(d.tmpDir()).entryList({"*.png"}, QDir::Files).isEmpty())
            << QDir(d.tmpDir()).entryList(QDir::Files).join(' ').toStdString();
        std::printf("[ timing ] portal, %s: copy %lld ms\n", layout.name,
                    static_cast<long long>(r.took.count()));
    }
}

TEST(WaylandCopy, AutoChoosesTheDirectCopyWhereOffered)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}});
    ASSERT_TRUE(d.ok()) << d.error();
    // No portal runs: only the direct copy can succeed.
    const CopyResult r = RunCopy(d, {"--auto"});
    ASSERT_EQ(r.rc, 0) << r.stdoutText;
    EXPECT_EQ(r.image.pixel(10, 10), qRgb(0x33, 0x66, 0x99));
}

TEST(WaylandCopy, MissingPortalFailsAtOnceWithAReason)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}});
    ASSERT_TRUE(d.ok()) << d.error();
    for (const std::vector<std::string>& flags :
         {std::vector<std::string>{"--portal"}, std::vector<std::string>{"--auto"}}) {
        const CopyResult r = RunCopy(d, flags, {{"TARVO_SCREEN_COPY", "portal"}});
        EXPECT_EQ(r.rc, 1) << r.stdoutText;
        EXPECT_NE(r.stdoutText.find("error: the screenshot portal is not available"),
                  std::string::npos)
            << r.stdoutText;
        EXPECT_LT(r.took, 5s) << "a missing portal must not wait for the time-out";
    }
}

TEST(WaylandCopy, StuckCompositorTimesOut)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}});
    ASSERT_TRUE(d.ok()) << d.error();
    const pid_t sway = d.swayPid();
    ASSERT_EQ(::kill(sway, SIGSTOP), 0);
    const CopyResult r = RunCopy(d, {"--timeout", "1000"});
    ::kill(sway, SIGCONT);
    EXPECT_EQ(r.rc, 1) << r.stdoutText;
    EXPECT_NE(r.stdoutText.find("did not answer in time"), std::string::npos) << r.stdoutText;
    EXPECT_LT(r.took, 5s);
    // And it recovers once the compositor runs again.
    EXPECT_EQ(RunCopy(d, {}).rc, 0);
}

TEST(WaylandHarness, PointerAndKeysReachTheSession)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}, {320, 240, 1, 0, "#993366"}});
    ASSERT_TRUE(d.ok()) << d.error();
    const auto focused = [&] {
        const auto outputs =
            QJsonDocument::fromJson(QByteArray::fromStdString(d.swaymsg({"-t", "get_outputs"})));
        for (const QJsonValue o : outputs.array())
            if (o[QStringLiteral("focused")].toBool()) return o[QStringLiteral("name")].toString();
        return QString();
    };
    // A click focuses the output under the pointer: the helper's moves land where asked.
    for (const auto& [x, name] : {std::pair{400, "HEADLESS-2"}, std::pair{100, "HEADLESS-1"}}) {
        EXPECT_TRUE(
            d.pointer({"move", std::to_string(x), "100", "press", "wait", "20", "release"}));
        EXPECT_TRUE(WaitUntil([&] { return focused() == name; }, 3s)) << name;
    }
    EXPECT_TRUE(d.drag(100, 100, 500, 200));
    EXPECT_FALSE(d.pointer({"jump"})) << "a script it cannot read fails the helper";
    EXPECT_TRUE(d.type({"-k", "Escape"}));
}

} // namespace
} // namespace tarvo::test
