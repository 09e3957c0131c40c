// The web destination as a person sees it: the tray icon while a picture is on its way, the
// title asked before an upload, and the version check's message box, against a stand-in
// service on 127.0.0.1.
#include "desktop/harness.h"
#include "support/http_server.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <xcb/xinput.h>

namespace tarvo::test {
namespace {

class Web : public ::testing::Test
{
protected:
    void start(const std::vector<std::pair<std::string, std::string>>& settings)
    {
        d.writeSettings(settings);
        installBrowser();
        tarvo = d.startTarvo({{"TARVO_LOG", "1"},
                              {"TARVO_SERVICE_URL", server.baseUrl().toStdString()},
                              {"no_proxy", "127.0.0.1"}});
        started = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 20s)) << "no tray icon";
        // Past the splash, so that the only "Tarvo" window later is a message box.
        ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));
    }

    // A default web browser that only notes the address it was asked to open.
    void installBrowser()
    {
        const QString script = d.home() + "/browser";
        QFile s(script);
        ASSERT_TRUE(s.open(QIODevice::WriteOnly));
        s.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + browserLog().toUtf8() + "'\n");
        s.close();
        ::chmod(QFile::encodeName(script).constData(), 0755);
        const QString apps = d.home() + "/.local/share/applications";
        QDir().mkpath(apps);
        QFile entry(apps + "/testbrowser.desktop");
        ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
        entry.write("[Desktop Entry]\nType=Application\nName=Test browser\nExec=" +
                    script.toUtf8() + " %u\n");
        entry.close();
        QFile list(d.configHome() + "/mimeapps.list");
        ASSERT_TRUE(list.open(QIODevice::WriteOnly));
        list.write("[Default Applications]\nx-scheme-handler/http=testbrowser.desktop\n");
    }
    QString browserLog() const { return d.home() + "/browser.log"; }
    QString openedInBrowser() const
    {
        QFile f(browserLog());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }

    // Clearly orange pixels in the lower-right quarter of the tray icon, where the busy icon
    // carries its badge; -1 when the icon cannot be grabbed.
    int badgePixels(const QString& name)
    {
        const std::string icon = d.trayIconWindow("tarvo");
        if (icon.empty()) return -1;
        const QString path = d.home() + "/" + name + ".png";
        QFile::remove(path);
        d.run({"import", "-window", icon, path.toStdString()});
        const QImage img = QImage(path).convertToFormat(QImage::Format_RGB32);
        if (img.isNull()) return -1;
        int n = 0;
        for (int y = img.height() / 2; y < img.height(); ++y)
            for (int x = img.width() / 2; x < img.width(); ++x) {
                const QRgb p = img.pixel(x, y);
                if (qRed(p) > 200 && qGreen(p) > 80 && qGreen(p) < 180 && qBlue(p) < 80) ++n;
            }
        KeepForLook(path);
        return n;
    }

    std::string titleDialog()
    {
        const auto ids = d.visibleWindows("^Annotate Screenshot$");
        return ids.empty() ? std::string() : ids.front();
    }
    // Waits for the title dialog and gives it the keyboard; empty when it did not come.
    std::string focusedTitleDialog()
    {
        std::string dialog;
        if (!WaitUntil([&] { return !(dialog = titleDialog()).empty(); }, 10s)) return {};
        d.run({"xdotool", "windowfocus", "--sync", dialog});
        return dialog;
    }

    // The version check's box: a "Tarvo" window that is not the splash.
    std::string messageBox()
    {
        for (const std::string& id : d.visibleWindows("^Tarvo$"))
            if (d.run({"xdotool", "getwindowgeometry", id}).find("360x240") == std::string::npos)
                return id;
        return {};
    }

    std::vector<RecordedRequest> posts() const { return server.requests("POST"); }

    bool logHas(const QString& text) const { return d.readLog().contains(text); }

    // The service's two version values; the time of the first question is noted.
    void serveVersions(const std::string& recommended, const std::string& minimum)
    {
        server.setHandler([this, recommended, minimum](const RecordedRequest& r) {
            {
                const std::lock_guard<std::mutex> g(askedLock);
                if (!firstAsked) firstAsked = std::chrono::steady_clock::now();
            }
            CannedReply reply;
            if (r.path == "/db/Version.Recommended")
                reply.body = recommended;
            else if (r.path == "/db/Version.Minimum")
                reply.body = minimum;
            else
                reply.status = 404;
            return reply;
        });
    }
    std::optional<std::chrono::steady_clock::duration> firstAskedAfterStart()
    {
        const std::lock_guard<std::mutex> g(askedLock);
        if (!firstAsked) return std::nullopt;
        return *firstAsked - started;
    }

    // Before the server, which calls its handler until it goes.
    std::chrono::steady_clock::time_point started;
    std::mutex askedLock;
    std::optional<std::chrono::steady_clock::time_point> firstAsked;

    HttpServer server;
    Desktop d;
    std::unique_ptr<Child> tarvo;
};

TEST_F(Web, TheIconCarriesTheBusyBadgeUntilTheLastOfTwoUploadsIsAnswered)
{
    // The service sits on both replies: the first goes out 7 s after it came in, the second
    // 4 s after that, so there is a stretch with one upload done and the other still running.
    struct Timing
    {
        std::mutex lock;
        std::optional<std::chrono::steady_clock::time_point> firstAnswer;
    };
    server.setHandler([timing = std::make_shared<Timing>()](const RecordedRequest& r) {
        CannedReply reply;
        if (r.method != "POST") return reply; // the version check, should it come meanwhile
        const std::lock_guard<std::mutex> g(timing->lock);
        const auto now = std::chrono::steady_clock::now();
        if (!timing->firstAnswer) {
            timing->firstAnswer = now + 7s;
            reply.delay = 7s;
        } else {
            reply.delay = std::max<std::chrono::milliseconds>(
                1s, std::chrono::duration_cast<std::chrono::milliseconds>(*timing->firstAnswer +
                                                                          4s - now));
        }
        return reply;
    });
    start({{"Destination", "0"}});
    ASSERT_EQ(badgePixels("icon-idle"), 0) << "the idle icon has no badge";

    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return posts().size() == 1; }, 20s)) << d.readLog().toStdString();
    // Some 50 of the quarter's 144 pixels are the badge's.
    EXPECT_TRUE(WaitUntil([&] { return badgePixels("icon-busy") > 20; }, 2s))
        << "no orange badge while sending";

    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return posts().size() == 2; }, 20s)) << d.readLog().toStdString();
    ASSERT_FALSE(logHas(": Posted to URL")) << "the uploads did not overlap";

    const std::string icon = d.trayIconWindow("tarvo");
    d.run({"xdotool", "mousemove", "--window", icon, "12", "12"});
    std::this_thread::sleep_for(1500ms);
    KeepForLook(d.screenshot("busy-tooltip"));

    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    std::this_thread::sleep_for(1s); // the first upload has ended by now, not just logged
    EXPECT_GT(badgePixels("icon-one-left"), 20) << "the badge went with the first upload";
    EXPECT_EQ(d.readLog().count(": Posted to URL"), 1) << "the checks above came too late";

    ASSERT_TRUE(WaitUntil([&] { return d.readLog().count(": Posted to URL") == 2; }, 20s))
        << d.readLog().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return badgePixels("icon-after") == 0; }, 5s))
        << "the badge stays after the uploads";
    EXPECT_EQ(posts().size(), 2u);
}

TEST_F(Web, TheTitleTypedBeforeTheUploadReachesTheServiceEscaped)
{
    start({{"Destination", "0"}, {"Annotate", "1"}});
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_FALSE(focusedTitleDialog().empty()) << "no title dialog\n" << d.readLog().toStdString();
    EXPECT_TRUE(posts().empty()) << "nothing goes out before the title is given";

    d.run({"xdotool", "type", "--delay", "30", "Hello World-1."});
    d.run({"xdotool", "key", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    EXPECT_TRUE(titleDialog().empty());

    const auto sent = posts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].path, "/db/Post");
    ASSERT_EQ(sent[0].query.rfind("id=", 0), 0u) << sent[0].query;
    EXPECT_EQ(sent[0].query.substr(15), "&annotation=Hello+World%2d1%2e") << sent[0].query;
}

// The device id of the keyboard XTest types on, or -1.
int xtestKeyboard(const std::string& display)
{
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    int id = -1;
    std::free(xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 0), nullptr));
    if (auto* devices = xcb_input_xi_query_device_reply(
            c, xcb_input_xi_query_device(c, XCB_INPUT_DEVICE_ALL), nullptr)) {
        for (auto it = xcb_input_xi_query_device_infos_iterator(devices); it.rem;
             xcb_input_xi_device_info_next(&it)) {
            const std::string name(xcb_input_xi_device_info_name(it.data),
                                   std::size_t(xcb_input_xi_device_info_name_length(it.data)));
            if (it.data->type == XCB_INPUT_DEVICE_TYPE_SLAVE_KEYBOARD &&
                name.find("XTEST") != std::string::npos)
                id = it.data->deviceid;
        }
        std::free(devices);
    }
    xcb_disconnect(c);
    return id;
}

// Keys from a keyboard of another layout (here XTest's, set to German before its first key,
// which is the capture key) switch the layout the program must read them with; the program
// takes that switch after the capture key, and the title typed next follows the new layout.
TEST_F(Web, ATitleTypedOnASwitchedKeyboardFollowsItsLayout)
{
    const int keyboard = xtestKeyboard(d.display());
    ASSERT_GE(keyboard, 0);
    d.run({"setxkbmap", "-device", std::to_string(keyboard), "de"});
    start({{"Destination", "0"}, {"Annotate", "1"}});
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_FALSE(focusedTitleDialog().empty()) << "no title dialog\n" << d.readLog().toStdString();
    d.run({"xdotool", "type", "--delay", "30", "yz"});
    d.run({"xdotool", "key", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    const auto sent = posts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query.substr(15), "&annotation=yz") << sent[0].query;
}

TEST_F(Web, ACancelledTitleSendsNothingAndTheNextTitleStartsEmpty)
{
    start({{"Destination", "0"}, {"Annotate", "1"}});
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_FALSE(focusedTitleDialog().empty()) << "no title dialog\n" << d.readLog().toStdString();
    d.run({"xdotool", "type", "--delay", "30", "secret"});
    d.run({"xdotool", "key", "Escape"});
    ASSERT_TRUE(WaitUntil([&] { return titleDialog().empty(); }, 10s)) << "the dialog stays";
    // Nothing to wait for: give a wrongly started upload the time to show itself.
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(posts().empty());
    EXPECT_FALSE(logHas("Sending request")) << d.readLog().toStdString();
    EXPECT_FALSE(logHas("Exception")) << d.readLog().toStdString();

    // The program is ready for the next capture, whose title does not inherit the typed one.
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_FALSE(focusedTitleDialog().empty()) << "no title dialog the second time\n"
                                               << d.readLog().toStdString();
    d.run({"xdotool", "key", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    const auto sent = posts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].query.substr(15), "&annotation=") << sent[0].query;
    EXPECT_EQ(d.readLog().count("Sending request"), 1);
}

TEST_F(Web, AnOutdatedVersionIsToldAndExitsAfterNo)
{
    serveVersions("1.7.0", "1.6.132");
    d.setEnv("TARVO_TEST_SHORT_WAITS", "0"); // the one test of the real 15 s delay
    start({});

    std::string box;
    ASSERT_TRUE(WaitUntil([&] { return !(box = messageBox()).empty(); }, 35s))
        << "no message box\n"
        << d.readLog().toStdString();
    KeepForLook(d.screenshot("outdated"));

    const auto asked = server.requests();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].method, "GET");
    EXPECT_EQ(asked[0].path, "/db/Version.Recommended");
    EXPECT_EQ(asked[1].method, "GET");
    EXPECT_EQ(asked[1].path, "/db/Version.Minimum");
    for (const auto& r : asked)
        EXPECT_EQ(r.header("User-Agent"), "Tarvo/1.6.131") << r.path;
    EXPECT_GE(firstAskedAfterStart().value_or(0s), 14s) << "asked before the wait";

    // Nothing else holds the focus without a window manager; Yes is the default button, so
    // one Tab reaches No.
    d.run({"xdotool", "windowfocus", "--sync", box});
    d.run({"xdotool", "key", "Tab", "sleep", "0.2", "key", "space"});
    const auto rc = tarvo->wait(15s);
    ASSERT_TRUE(rc.has_value()) << "the program goes on after the outdated message";
    EXPECT_EQ(*rc, 0);
    EXPECT_TRUE(WaitUntil([&] { return !d.trayHasIcon("tarvo"); }, 5s));
    EXPECT_FALSE(WaitUntil([&] { return !openedInBrowser().isEmpty(); }, 2s))
        << "No opens nothing, yet the browser got " << openedInBrowser().toStdString();
}

TEST_F(Web, ANewerVersionIsOfferedAndYesOpensTheSiteAndTheProgramGoesOn)
{
    serveVersions("1.6.132", "1.0.0");
    start({});

    std::string box;
    ASSERT_TRUE(WaitUntil([&] { return !(box = messageBox()).empty(); }, 35s))
        << "no message box\n"
        << d.readLog().toStdString();
    KeepForLook(d.screenshot("new-version"));
    d.run({"xdotool", "windowfocus", "--sync", box});
    d.run({"xdotool", "key", "space"});               // Yes, the default button
    const QString site = server.baseUrl().chopped(4); // without "/db/"
    EXPECT_TRUE(WaitUntil([&] { return openedInBrowser() == site; }, 10s))
        << openedInBrowser().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return messageBox().empty(); }, 5s));
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(tarvo->running());
    EXPECT_TRUE(d.trayHasIcon("tarvo"));
}

TEST_F(Web, TheCurrentVersionSaysNothing)
{
    serveVersions("1.6.131\r\n", "1.6.131\r\n");
    start({});
    ASSERT_TRUE(server.waitForRequests(1, 30s)) << "the version was never asked";
    // The box would follow the answer at once; give it a generous moment.
    std::this_thread::sleep_for(3s);
    EXPECT_EQ(messageBox(), std::string());
    const auto asked = server.requests();
    ASSERT_EQ(asked.size(), 1u) << "the minimum is asked only for a newer recommended version";
    EXPECT_EQ(asked[0].path, "/db/Version.Recommended");
    EXPECT_TRUE(tarvo->running());
    EXPECT_TRUE(d.trayHasIcon("tarvo"));
}

} // namespace
} // namespace tarvo::test

namespace tarvo::test {
namespace {

TEST_F(Web, ThePostedLinkIsInTheHistoryAndOpensFromTheMenu)
{
    start({{"Destination", "0"}});
    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString();
    const std::string link = d.run({"xclip", "-selection", "clipboard", "-o"});
    ASSERT_NE(link.find("/db/"), std::string::npos) << link;

    // The first item of the tray menu is the oldest history entry.
    const std::string icon = d.trayIconWindow("tarvo");
    d.run({"xdotool", "mousemove", "--window", icon, "12", "12", "click", "3"});
    std::this_thread::sleep_for(1s);
    d.run({"xdotool", "key", "Down", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return !openedInBrowser().isEmpty(); }, 10s));
    EXPECT_EQ(openedInBrowser().toStdString(), link);
}

} // namespace
} // namespace tarvo::test
