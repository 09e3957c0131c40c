// The Wayland screen copy in a real compositor (headless sway), held pixel for pixel against
// grim's copy of the same screen, through the direct copy and through the portal.
#include "wayland/fake_portal.h"
#include "wayland/harness.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    std::vector<WaylandOutputSetup> outputs;
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
    EXPECT_TRUE(SamePixels(r.image, reference, &where)) << where;
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

// Outputs of different scales: the picture is at the larger one, so the scale-2 output is
// its own pixels and the scale-1 output each pixel doubled (no smoothing).
TEST(WaylandCopy, MixedScalesDoubleTheSmallerScale)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, {}}, {640, 480, 2, 0, {}}});
    ASSERT_TRUE(d.ok()) << d.error();
    const CopyResult r = RunCopy(d, {});
    ASSERT_EQ(r.rc, 0) << r.stdoutText;
    EXPECT_EQ(r.image.size(), QSize(1280, 480));
    ASSERT_EQ(r.outputs.size(), 2u) << r.stdoutText;
    EXPECT_EQ(r.outputs[0].second, QRect(0, 0, 640, 480));
    EXPECT_EQ(r.outputs[1].second, QRect(640, 0, 640, 480));
    const QImage first = d.grimOutput("HEADLESS-1");
    const QImage second = d.grimOutput("HEADLESS-2");
    ASSERT_EQ(first.size(), QSize(320, 240));
    std::string where;
    EXPECT_TRUE(SamePixels(r.image.copy(r.outputs[1].second), second, &where)) << where;
    EXPECT_TRUE(SamePixels(r.image.copy(r.outputs[0].second),
                           first.scaled(640, 480, Qt::IgnoreAspectRatio, Qt::FastTransformation),
                           &where))
        << where;
}

TEST(WaylandCopy, AutoChoosesTheDirectCopyWhereOffered)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}});
    ASSERT_TRUE(d.ok()) << d.error();
    // No portal runs: only the direct copy can succeed, also beside the toolkit's own
    // connection to the compositor.
    for (const bool gui : {false, true}) {
        const CopyResult r =
            gui ? RunCopy(d, {"--auto", "--gui"}, d.qtWaylandEnv()) : RunCopy(d, {"--auto"});
        ASSERT_EQ(r.rc, 0) << r.stdoutText;
        EXPECT_EQ(r.image.pixel(10, 10), qRgb(0x33, 0x66, 0x99));
    }
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

namespace tarvo::test {
namespace {

// The portal's answers the packaged portal cannot be made to give: a refusal, silence, and a
// file kept where it was found, from a stand-in on the session's bus.
TEST(WaylandCopy, PortalAnswersAreHandled)
{
    REQUIRE_SWAY();
    WaylandDesktop d({{320, 240, 1, 0, "#336699"}});
    ASSERT_TRUE(d.ok()) << d.error();
    const QImage picture = OutputPattern(0, 64, 48);
    const QString source = d.root() + "/portal-shot.png";
    ASSERT_TRUE(picture.save(source));
    QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    // Placed by the session's user, as the portal would.
    const std::string inTmp = "/tmp/portal-shot.png";
    const std::string inHome = d.home().toStdString() + "/Screenshot.png";

    struct Case
    {
        const char* name;
        FakeScreenshotPortal::Answer answer;
        std::string file; // in the session's view; empty: none
        int timeoutMs;
        bool succeeds;
        const char* text; // in the error line, or nothing for a success
        bool fileRemains;
    };
    const Case cases[] = {
        {"refused",
         FakeScreenshotPortal::Answer::Refuse,
         {},
         10000,
         false,
         "error: the screenshot was refused",
         false},
        {"no answer",
         FakeScreenshotPortal::Answer::Silence,
         {},
         1500,
         false,
         "error: the screenshot portal did not answer within 1.5 s",
         false},
        {"temporary file", FakeScreenshotPortal::Answer::File, inTmp, 10000, true, "", false},
        {"file in the user's folder", FakeScreenshotPortal::Answer::File, inHome, 10000, true, "",
         true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.file.empty()) {
            int rc = 0;
            d.run({"cp", source.toStdString(), c.file}, &rc);
            ASSERT_EQ(rc, 0);
        }
        QDBusConnection bus = QDBusConnection::connectToBus(
            QString::fromStdString(d.busAddress()), QStringLiteral("fake-portal-%1").arg(++n));
        ASSERT_TRUE(bus.isConnected()) << bus.lastError().message().toStdString();
        FakeScreenshotPortal fake(
            bus, c.answer, c.file.empty() ? QString() : "file://" + QString::fromStdString(c.file));
        ASSERT_TRUE(bus.registerObject("/org/freedesktop/portal/desktop", &fake,
                                       QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService("org.freedesktop.portal.Desktop"));

        const std::string out = d.home().toStdString() + "/fake-" + std::to_string(n) + ".png";
        const std::string log = "fake-" + std::to_string(n) + ".log";
        const auto start = std::chrono::steady_clock::now();
        auto child = d.start({d.executable(TARVO_WL_COPY), "--portal", "--timeout",
                              std::to_string(c.timeoutMs), out},
                             {}, log);
        // The stand-in answers from this thread's event loop.
        WaitUntil(
            [&] {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                return !child->running();
            },
            30s, 1ms);
        const auto took = std::chrono::steady_clock::now() - start;
        const std::optional<int> rc = child->wait(1s);
        const std::string text = d.readLog(log).toStdString();
        bus.unregisterService("org.freedesktop.portal.Desktop");
        bus.unregisterObject("/org/freedesktop/portal/desktop");
        QDBusConnection::disconnectFromBus(bus.name());

        EXPECT_EQ(fake.calls, 1);
        EXPECT_EQ(fake.lastOptions.value("interactive"), QVariant(false));
        ASSERT_TRUE(rc.has_value());
        EXPECT_EQ(*rc, c.succeeds ? 0 : 1) << text;
        EXPECT_LT(took, std::chrono::milliseconds(c.timeoutMs) + 3s);
        if (c.succeeds) {
            std::string where;
            EXPECT_TRUE(SamePixels(QImage(QString::fromStdString(out)), picture, &where)) << where;
        } else {
            EXPECT_NE(text.find(c.text), std::string::npos) << text;
        }
        if (!c.file.empty()) {
            EXPECT_EQ(QFileInfo::exists(d.hostPath(QString::fromStdString(c.file))), c.fileRemains);
        }
    }
}

} // namespace
} // namespace tarvo::test
