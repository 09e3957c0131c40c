// Whole captures in a Wayland session (headless sway), as a person makes them: `tarvo --capture`
// handed to the running instance, a drag over the overlay windows of one or two outputs, Escape,
// and what a paste in another client (wl-paste) gets afterwards. Every picture is held against
// grim's copy of the same region.
#include "server/http_client.h"
#include "server/server_process.h"
#include "wayland/harness.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tarvo::test {
namespace {

bool HaveTools()
{
    for (const char* tool : {"sway", "grim", "wtype", "wl-paste"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) return false;
    return true;
}

// The overlay's windows: fullscreen views of the program on the outputs.
int OverlayWindows(const QJsonObject& node)
{
    int n = node.value("type").toString() == "con" && node.value("name").toString() == "Tarvo" &&
                    node.value("fullscreen_mode").toInt() == 1 && node.value("visible").toBool()
                ? 1
                : 0;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(key).toArray())
            n += OverlayWindows(child.toObject());
    return n;
}

class WaylandCapture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveTools()) GTEST_SKIP() << "sway, grim, wtype or wl-clipboard is not installed";
    }

    // sway with these outputs, and Tarvo in it with these settings (the store values).
    void start(std::vector<WaylandOutputSetup> outputs,
               std::vector<std::pair<std::string, std::string>> settings,
               const std::map<std::string, std::string>& extraEnv = {})
    {
        if (!d) d = std::make_unique<WaylandDesktop>(std::move(outputs));
        ASSERT_TRUE(d->ok()) << d->error();
        shots = d->home() + "/shots";
        d->run({"mkdir", "-p", shots.toStdString(), (d->home() + "/.config/tarvo").toStdString()});
        settings.emplace_back("Target Folder", shots.toStdString());
        writeSettings(settings);
        auto env = d->qtWaylandEnv();
        if (extraEnv.count("TARVO_CLIPBOARD")) {
            // Qt 6.4's Wayland clipboard keeps its last offer (a copy of the picture) past the
            // end of the program (ours too, when we hand it the data): not ours to free.
            QFile base(d->root() + "/lsan.supp");
            ASSERT_TRUE(base.open(QIODevice::ReadOnly));
            const QString own = d->root() + "/lsan-toolkit-clipboard.supp";
            QFile supp(own);
            ASSERT_TRUE(supp.open(QIODevice::WriteOnly));
            supp.write(base.readAll() +
                       "\nleak:QClipboard::setImage\nleak:QClipboard::setMimeData\n"
                       "leak:tarvo::CopyImageToClipboard\n");
            supp.close();
            ::chmod(QFile::encodeName(own).constData(), 0644);
            env["LSAN_OPTIONS"] = "suppressions=" + own.toStdString() + ":print_suppressions=0";
        }
        env["TARVO_LOG"] = "1";
        env["no_proxy"] = "127.0.0.1";
        for (const auto& [k, v] : extraEnv)
            env[k] = v;
        env_ = env;
        tarvo = d->start({d->executable(TARVO_BINARY)}, env, "tarvo.out");
        // Up once it listens for the requests of later starts.
        ASSERT_TRUE(WaitUntil([&] { return !instanceSockets().isEmpty(); }, 20s))
            << d->readLog("tarvo.out").toStdString();
    }

    void writeSettings(const std::vector<std::pair<std::string, std::string>>& values)
    {
        const QString path = d->home() + "/.config/tarvo/tarvo.reg";
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n");
        for (const auto& [name, value] : values)
            f.write(("\"" + name + "\"=\"" + value + "\"\n").c_str());
        f.close();
        // The session's user owns its settings, as it would have written them.
        struct stat home
        {
        };
        ASSERT_EQ(::stat(QFile::encodeName(d->home()).constData(), &home), 0);
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), home.st_uid, home.st_gid), 0);
    }

    QStringList instanceSockets() const
    {
        return QDir(d->runtimeDir()).entryList({"*.socket"}, QDir::System | QDir::Files);
    }

    QString log() const
    {
        QFile f(d->home() + "/.local/state/tarvo/TarvoTray.log");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    bool waitForLog(const QString& text, std::chrono::milliseconds timeout = 15s)
    {
        return WaitUntil([&] { return log().contains(text); }, timeout);
    }
    std::string details() const
    {
        return "log:\n" + log().toStdString() + "\nstderr:\n" +
               d->readLog("tarvo.out").toStdString();
    }

    // Ends the program as the session's logout would, and expects it to go cleanly: no
    // sanitizer report (a leaked paste transfer, a Wayland object used after its connection).
    void expectCleanExit()
    {
        tarvo->kill(SIGTERM);
        EXPECT_EQ(tarvo->wait(20s), std::optional<int>(0)) << details();
        const QString out = d->readLog("tarvo.out");
        EXPECT_FALSE(out.contains("Sanitizer")) << out.toStdString();
        EXPECT_FALSE(out.contains("runtime error")) << out.toStdString();
    }

    int overlayWindows()
    {
        const auto tree =
            QJsonDocument::fromJson(QByteArray::fromStdString(d->swaymsg({"-t", "get_tree"})));
        return OverlayWindows(tree.object());
    }

    std::string focusedOutput()
    {
        const auto outputs =
            QJsonDocument::fromJson(QByteArray::fromStdString(d->swaymsg({"-t", "get_outputs"})));
        for (const QJsonValue o : outputs.array())
            if (o["focused"].toBool()) return o["name"].toString().toStdString();
        return {};
    }

    // `tarvo --capture DEST` in the session: it hands the capture to the running instance and
    // ends at once; then the overlay is up on every output.
    void requestCapture(const std::string& destination)
    {
        int rc = -1;
        d->run({d->executable(TARVO_BINARY), "--capture", destination}, &rc, 20s, env_);
        ASSERT_EQ(rc, 0);
        const int outputs = int(d->outputRects().size());
        ASSERT_TRUE(WaitUntil([&] { return overlayWindows() == outputs; }, 15s))
            << overlayWindows() << " of " << outputs << " overlay windows\n"
            << details();
    }

    // A drag with the left button. The virtual pointer is a new device for each script, and the
    // seat gains its pointer only then: the program needs a moment to take it before the press.
    bool drag(QPoint from, QPoint to)
    {
        const auto n = [](int v) { return std::to_string(v); };
        const QPoint mid = (from + to) / 2;
        return d->pointer({"move",      n(from.x()), n(from.y()), "wait",     "400",   "move",
                           n(from.x()), n(from.y()), "wait",      "50",       "press", "wait",
                           "50",        "move",      n(mid.x()),  n(mid.y()), "wait",  "50",
                           "move",      n(to.x()),   n(to.y()),   "wait",     "50",    "release",
                           "wait",      "100"});
    }

    // What a paste of this type in another client gets, through a file (pictures are binary).
    QByteArray paste(const std::string& type)
    {
        const QString file = d->home() + "/paste-" + QString::number(++pastes);
        int rc = -1;
        d->run({"sh", "-c",
                "wl-paste --no-newline --type '" + type + "' > '" + file.toStdString() + "'"},
               &rc, 10s);
        QFile f(file);
        return rc == 0 && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    std::unique_ptr<WaylandDesktop> d;
    std::unique_ptr<Child> tarvo;
    std::map<std::string, std::string> env_;
    QString shots;
    int pastes = 0;
};

struct FileCase
{
    const char* name;
    std::vector<WaylandOutputSetup> outputs;
    QRect drag;          // logical layout coordinates: from the top-left to the bottom-right corner
    QSize pixels;        // the saved picture's size
    bool portal = false; // the copy through the desktop portal, forced by the environment
};

// Test names in the runner's listing, instead of the parameter's bytes.
void PrintTo(const FileCase& c, std::ostream* os)
{
    *os << c.name;
}

class CaptureToFile : public WaylandCapture, public ::testing::WithParamInterface<FileCase>
{
};

TEST_P(CaptureToFile, TheFileEqualsGrimsCopyOfTheRegionAndItsPathIsPasteable)
{
    const FileCase& c = GetParam();
    std::map<std::string, std::string> env;
    if (c.portal) {
        d = std::make_unique<WaylandDesktop>(c.outputs);
        ASSERT_TRUE(d->ok()) << d->error();
        ASSERT_TRUE(d->startPortal()) << d->readLog("portal.log").toStdString();
        env["TARVO_SCREEN_COPY"] = "portal";
    }
    start(c.outputs, {{"Destination", "2"}}, env);
    ASSERT_NO_FATAL_FAILURE(requestCapture("file"));
    ASSERT_TRUE(drag(c.drag.topLeft(), c.drag.topLeft() + QPoint(c.drag.width(), c.drag.height())));
    const QString saved = shots + "/screenshot_00001.png";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(saved); }, 15s)) << details();
    EXPECT_TRUE(WaitUntil([&] { return overlayWindows() == 0; }, 5s)) << "the overlay stayed";

    const QImage got = QImage(saved).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(got.size(), c.pixels);
    const QImage want = d->grim(c.drag);
    ASSERT_EQ(want.size(), c.pixels);
    std::string where;
    EXPECT_TRUE(SamePixels(got, want, &where)) << where;
    // The saved file's path is on the clipboard, for a paste after the overlay closed.
    EXPECT_EQ(paste("text/plain;charset=utf-8"), saved.toUtf8());
    expectCleanExit();
}

const WaylandOutputSetup kPlain{640, 480, 1};
const WaylandOutputSetup kDouble{640, 480, 2}; // 320x240 logical

INSTANTIATE_TEST_SUITE_P(
    Layouts, CaptureToFile,
    ::testing::Values(
        FileCase{"scale1", {kPlain}, {100, 80, 200, 150}, {200, 150}},
        FileCase{"scale2", {kDouble}, {50, 40, 100, 75}, {200, 150}},
        // Pressed on the left output, released on the right one.
        FileCase{"acrossTwoOutputs", {kPlain, kPlain}, {540, 100, 200, 150}, {200, 150}},
        FileCase{"onTheSecondOutput", {kPlain, kPlain}, {700, 120, 200, 150}, {200, 150}},
        // The same through the portal, whose outputs come from the toolkit.
        FileCase{"portalScale2", {kDouble}, {50, 40, 100, 75}, {200, 150}, true},
        FileCase{
            "portalAcrossTwoOutputs", {kPlain, kPlain}, {540, 100, 200, 150}, {200, 150}, true}),
    [](const auto& info) { return std::string(info.param.name); });

class OverlayPicture : public WaylandCapture, public ::testing::WithParamInterface<FileCase>
{
};

TEST_P(OverlayPicture, EveryOutputShowsTheFrozenScreenAndTheSelectionOnIt)
{
    const FileCase& c = GetParam();
    start(c.outputs, {{"Destination", "2"}});
    const QImage before = d->grim();
    ASSERT_FALSE(before.isNull());
    ASSERT_NO_FATAL_FAILURE(requestCapture("file"));
    // Nothing drawn yet: the overlay is the screen as it was, on every output.
    std::string where;
    EXPECT_TRUE(SamePixels(d->grim(), before, &where)) << where;

    // The button held across the outputs while the screen is looked at.
    const QRect all = d->layout();
    const auto n = [](int v) { return std::to_string(v); };
    const QPoint from = c.drag.topLeft();
    const QPoint to = from + QPoint(c.drag.width(), c.drag.height());
    auto hand = d->start({d->executable(TARVO_WL_POINTER),
                          "--extent",
                          n(all.width()),
                          n(all.height()),
                          "move",
                          n(from.x()),
                          n(from.y()),
                          "wait",
                          "400",
                          "move",
                          n(from.x()),
                          n(from.y()),
                          "wait",
                          "50",
                          "press",
                          "wait",
                          "50",
                          "move",
                          n(to.x()),
                          n(to.y()),
                          "wait",
                          "2500",
                          "release",
                          "wait",
                          "100"});
    std::this_thread::sleep_for(1500ms);
    const QImage during = d->grim();
    ASSERT_FALSE(during.isNull());
    const qreal scale = qreal(before.width()) / all.width();
    const auto at = [&](const QImage& img, QPoint logical) {
        return img.pixel(int(logical.x() * scale), int(logical.y() * scale));
    };
    // Inside the selection the frozen picture is tinted, on both sides of an output boundary;
    // outside it it is untouched.
    for (const QPoint inside : {from + QPoint(10, 10), to - QPoint(10, 10)})
        EXPECT_NE(at(during, inside), at(before, inside))
            << inside.x() << "," << inside.y() << " is not tinted";
    // (Not below and right of the end: the software cursor is in every copy of the screen.)
    for (const QPoint outside : {from - QPoint(10, 10), QPoint(to.x() + 10, from.y() - 10)})
        EXPECT_EQ(at(during, outside), at(before, outside))
            << outside.x() << "," << outside.y() << " changed";
    EXPECT_TRUE(hand->wait(10s).has_value());
    EXPECT_TRUE(WaitUntil([&] { return overlayWindows() == 0; }, 5s)) << details();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, OverlayPicture,
    ::testing::Values(FileCase{"scale2", {kDouble}, {50, 40, 100, 75}, {}},
                      FileCase{"twoOutputs", {kPlain, kPlain}, {540, 100, 200, 150}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

class EscapeOnOutput : public WaylandCapture, public ::testing::WithParamInterface<int>
{
};

TEST_P(EscapeOnOutput, CancelsTheCaptureAndClosesEveryWindow)
{
    // The protocol log shows the cursor each window sets.
    start({kPlain, kPlain}, {{"Destination", "2"}}, {{"WAYLAND_DEBUG", "1"}});
    ASSERT_NO_FATAL_FAILURE(requestCapture("file"));
    // The selection cursor, with its hot spot, over the overlay of either output.
    const QRect output = d->outputRects().at(size_t(GetParam()));
    // The pointer is a new device for each script: the program takes it, then gets the enter.
    const auto n = [](int v) { return std::to_string(v); };
    const QPoint c = output.center();
    ASSERT_TRUE(d->pointer({"move", n(c.x()), n(c.y()), "wait", "400", "move", n(c.x() + 1),
                            n(c.y()), "wait", "100"}));
    const QRegularExpression cursor(R"(wl_pointer@\d+\.set_cursor\(\d+, wl_surface@\d+, 16, 11\))");
    EXPECT_TRUE(WaitUntil([&] { return d->readLog("tarvo.out").contains(cursor); }, 5s))
        << "no selection cursor";
    // The keyboard focus goes to that output's window as the user's focus key would move it;
    // moving between the overlay's own windows does not cancel.
    const std::string name = d->outputNames().at(size_t(GetParam()));
    d->swaymsg({"focus", "output", name});
    ASSERT_TRUE(WaitUntil([&] { return focusedOutput() == name; }, 5s)) << focusedOutput();
    // Longer than the overlay lets a lost focus settle before it cancels.
    std::this_thread::sleep_for(900ms);
    ASSERT_EQ(overlayWindows(), 2) << "moving the focus cancelled\n" << details();
    ASSERT_TRUE(d->type({"-k", "Escape"}));
    EXPECT_TRUE(WaitUntil([&] { return overlayWindows() == 0; }, 5s)) << details();
    EXPECT_TRUE(waitForLog("Request cancelled", 5s)) << details();
    EXPECT_FALSE(log().contains("Exception")) << details();
    EXPECT_TRUE(QDir(shots).entryList(QDir::Files).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Outputs, EscapeOnOutput, ::testing::Values(0, 1));

TEST_F(WaylandCapture, LosingTheFocusToAnotherWorkspaceCancels)
{
    start({kPlain}, {{"Destination", "2"}});
    ASSERT_NO_FATAL_FAILURE(requestCapture("file"));
    ASSERT_TRUE(WaitUntil([&] { return !focusedOutput().empty(); }, 5s));
    // The user switches to an empty workspace: the frozen picture is no longer what they see.
    d->swaymsg({"workspace", "9"});
    EXPECT_TRUE(waitForLog("Request cancelled", 5s)) << details();
    EXPECT_TRUE(WaitUntil([&] { return overlayWindows() == 0; }, 5s)) << details();
    EXPECT_TRUE(QDir(shots).entryList(QDir::Files).isEmpty());
}

TEST_F(WaylandCapture, AFailedCopyIsReportedAtOnceAndShowsNoOverlay)
{
    // The portal forced where none runs: the copy fails at once, not after its time-out.
    start({kPlain}, {{"Destination", "2"}}, {{"TARVO_SCREEN_COPY", "portal"}});
    int rc = -1;
    d->run({d->executable(TARVO_BINARY), "--capture", "file"}, &rc, 20s, env_);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(waitForLog("Bitmap not captured", 8s)) << details();
    const QString text = log();
    EXPECT_TRUE(text.contains("Screen copy failed: ")) << details();
    EXPECT_TRUE(text.contains("Exception: 0x80004005")) << details();
    EXPECT_EQ(overlayWindows(), 0);
    // The program is still there for the next capture.
    EXPECT_TRUE(tarvo->running());
}

struct ClipboardCase
{
    const char* name;
    std::map<std::string, std::string> env;
    bool toolkit; // the toolkit's clipboard offers its own type beside the image ones
};

void PrintTo(const ClipboardCase& c, std::ostream* os)
{
    *os << c.name;
}

class ClipboardPicture : public WaylandCapture, public ::testing::WithParamInterface<ClipboardCase>
{
};

TEST_P(ClipboardPicture, IsPasteableAsPngAfterTheOverlayClosed)
{
    start({kPlain}, {{"Destination", "1"}}, GetParam().env);
    ASSERT_NO_FATAL_FAILURE(requestCapture("clipboard"));
    const QRect region(120, 90, 160, 110);
    ASSERT_TRUE(drag(region.topLeft(), region.bottomRight() + QPoint(1, 1)));
    ASSERT_TRUE(waitForLog("Posted to clipboard")) << details();
    ASSERT_TRUE(WaitUntil([&] { return overlayWindows() == 0; }, 5s));

    // Which of the two ways put it there.
    int rc = -1;
    const std::string types = d->run({"wl-paste", "--list-types"}, &rc, 10s);
    ASSERT_EQ(rc, 0);
    EXPECT_NE(types.find("image/png"), std::string::npos) << types;
    EXPECT_EQ(types.find("application/x-qt-image") != std::string::npos, GetParam().toolkit)
        << types;

    QImage got;
    ASSERT_TRUE(got.loadFromData(paste("image/png"), "PNG")) << details();
    const QImage want = d->grim(region);
    ASSERT_EQ(got.size(), want.size());
    std::string where;
    EXPECT_TRUE(SamePixels(got.convertToFormat(QImage::Format_RGB32), want, &where)) << where;
    // A second paste is served as well, and a reader that goes away early harms nothing.
    EXPECT_FALSE(paste("image/png").isEmpty());
    d->run({"sh", "-c", "wl-paste --type image/bmp | head -c 10 > /dev/null"});
    EXPECT_FALSE(paste("image/png").isEmpty());
    expectCleanExit();
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ClipboardPicture,
    ::testing::Values(ClipboardCase{"dataControl", {}, false},
                      // The toolkit's own clipboard, set while the overlay still had the focus.
                      ClipboardCase{"toolkit", {{"TARVO_CLIPBOARD", "toolkit"}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaylandCapture, AnUploadedCapturesLinkIsPasteableAndShowsTheRegion)
{
    TempDir data;
    ServerProcess server{data.Path()};
    ASSERT_TRUE(server.Started()) << server.Error();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/db/";
    start({kPlain}, {{"Destination", "0"}, {"Service URL", base}});
    ASSERT_NO_FATAL_FAILURE(requestCapture("web"));
    const QRect region(200, 150, 120, 90);
    ASSERT_TRUE(drag(region.topLeft(), region.bottomRight() + QPoint(1, 1)));
    ASSERT_TRUE(waitForLog(": Posted to URL", 20s)) << details() << server.Stderr();

    const std::string link = paste("text/plain;charset=utf-8").toStdString();
    ASSERT_EQ(link.rfind(base, 0), 0u) << link;
    ASSERT_EQ(link.size(), base.size() + 24) << link;
    const std::string token = link.substr(base.size(), 20);
    const auto image = Send(server.Port(), "GET", "/db/" + token + ".png");
    ASSERT_TRUE(image);
    ASSERT_EQ(image->status, 200);
    QImage got;
    ASSERT_TRUE(got.loadFromData(QByteArray::fromStdString(image->body)));
    std::string where;
    EXPECT_TRUE(SamePixels(got.convertToFormat(QImage::Format_RGB32), d->grim(region), &where))
        << where;
    expectCleanExit();
}

} // namespace
} // namespace tarvo::test
