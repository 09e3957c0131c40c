// The whole road of a capture to the web, with the real service: Print Screen, a drag, a
// title, and the link from the clipboard opened in a real browser, against a tarvo-server the
// test starts on 127.0.0.1.
#include "desktop/harness.h"
#include "server/http_client.h"
#include "server/server_process.h"
#include "support/helpers.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo::test {
namespace {

class Service : public ::testing::Test
{
protected:
    // Headless Chromium as a user would open the link: the page's DOM after loading, or a
    // screenshot of it.
    std::string browse(const std::string& url, const std::string& screenshot = {})
    {
        // Its complaints about the missing system bus go to a file, not the test's output.
        const std::string errors = (d.home() + "/chromium.log").toStdString();
        std::vector<std::string> argv = {"sh",
                                         "-c",
                                         "exec \"$0\" \"$@\" 2>>'" + errors + "'",
                                         "chromium",
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--hide-scrollbars",
                                         "--window-size=1024,768",
                                         "--user-data-dir=" +
                                             (d.home() + "/chromium").toStdString()};
        if (screenshot.empty())
            argv.push_back("--dump-dom");
        else
            argv.push_back("--screenshot=" + screenshot);
        argv.push_back(url);
        int rc = -1;
        std::string out = d.run(argv, &rc, 60s);
        EXPECT_EQ(rc, 0) << "chromium failed on the page";
        return out;
    }

    bool logHas(const QString& text) const { return d.readLog().contains(text); }

    TempDir data;
    // A newer recommended version, so the client's check has something to say.
    ServerProcess server{data.Path(),
                         {"--recommended", "1.6.132", "--minimum", "1.0.0", "--site-dir",
                          TARVO_SOURCE_DIR "/res/site"}};
    Desktop d;
    std::unique_ptr<Child> picture;
    std::unique_ptr<Child> tarvo;
};

TEST_F(Service, ACaptureEndsInALinkThatOpensThePictureInTheBrowser)
{
    ASSERT_TRUE(server.Started()) << server.Error();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/db/";
    // The default settings but for the service's address (the store value a team would set)
    // and the title question.
    d.writeSettings({{"Service URL", base}, {"Annotate", "1"}});
    picture = ShowPicture(d, 600, 400);
    const QString screen = d.screenshot("screen-before");
    tarvo = d.startTarvo({{"TARVO_LOG", "1"}, {"no_proxy", "127.0.0.1"}});
    ASSERT_TRUE(WaitUntil([&] { return d.trayHasIcon("tarvo"); }, 20s)) << "no tray icon";
    ASSERT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 10s));

    ASSERT_TRUE(d.captureRectangle()) << "no overlay";
    std::string dialog;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto ids = d.visibleWindows("^Annotate Screenshot$");
            return !ids.empty() && !(dialog = ids.front()).empty();
        },
        10s))
        << "no title dialog\n"
        << d.readLog().toStdString();
    d.run({"xdotool", "windowfocus", "--sync", dialog});
    // Anyone's input ends up on a public page: markup must stay text.
    const std::string title = "<b>Hi</b> & \"you\"";
    d.run({"xdotool", "type", "--delay", "30", title});
    d.run({"xdotool", "key", "Return"});
    ASSERT_TRUE(WaitUntil([&] { return logHas(": Posted to URL"); }, 20s))
        << d.readLog().toStdString() << server.Stderr();

    const std::string link = d.run({"xclip", "-selection", "clipboard", "-o"});
    ASSERT_EQ(link.rfind(base, 0), 0u) << link;
    ASSERT_EQ(link.size(), base.size() + 24) << link;
    const std::string token = link.substr(base.size(), 20);
    const std::string page = link.substr(base.size());
    ASSERT_EQ(link.substr(link.size() - 4), ".htp") << "a small fragment goes as PNG";

    // The page, as the browser builds it: the title as text, the picture from the service.
    const std::string dom = browse(link);
    EXPECT_NE(dom.find("<title>&lt;b&gt;Hi&lt;/b&gt; &amp; \"you\"</title>"), std::string::npos)
        << dom;
    EXPECT_EQ(dom.find("<b>Hi</b>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("src=\"" + token + ".png\""), std::string::npos) << dom;
    const QString shot = d.home() + "/page.png";
    browse(link, shot.toStdString());
    KeepForLook(shot);

    // The picture behind the link is exactly the dragged pixels of the screen.
    const auto image = Send(server.Port(), "GET", "/db/" + token + ".png");
    ASSERT_TRUE(image);
    ASSERT_EQ(image->status, 200);
    EXPECT_EQ(image->Header("content-type"), "image/png");
    QImage got;
    ASSERT_TRUE(got.loadFromData(QByteArray::fromStdString(image->body)));
    const QImage want = QImage(screen).copy(100, 100, 200, 150);
    ASSERT_FALSE(want.isNull()) << screen.toStdString();
    EXPECT_TRUE(SamePixels(got, want));

    // One key character changed: the same 404 as a link that never existed.
    std::string wrong = token;
    wrong[15] = wrong[15] == 'A' ? 'B' : 'A';
    const auto miss = Send(server.Port(), "GET", "/db/" + wrong + ".htp");
    ASSERT_TRUE(miss);
    EXPECT_EQ(miss->status, 404);
    std::string unknown = token;
    unknown[0] = unknown[0] == 'A' ? 'B' : 'A';
    const auto none = Send(server.Port(), "GET", "/db/" + unknown + ".htp");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    EXPECT_EQ(none->body, miss->body);

    // The service's recommended version reaches the client's check: the new-version box.
    std::string box;
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const std::string& id : d.visibleWindows("^Tarvo$"))
                if (d.run({"xdotool", "getwindowgeometry", id}).find("360x240") ==
                    std::string::npos)
                    return !(box = id).empty();
            return false;
        },
        40s))
        << "no new-version box\n"
        << d.readLog().toStdString();
    d.run({"xdotool", "windowfocus", "--sync", box});
    d.run({"xdotool", "key", "Tab", "space"}); // No
    EXPECT_TRUE(WaitUntil([&] { return d.visibleWindows("^Tarvo$").empty(); }, 5s));
    EXPECT_TRUE(tarvo->running());

    // The product page that the about box and the version check open.
    const std::string site = browse("http://127.0.0.1:" + std::to_string(server.Port()) + "/");
    EXPECT_NE(site.find("Tarvo"), std::string::npos) << site;
    EXPECT_NE(site.find("Service URL"), std::string::npos) << site;
    const QString siteShot = d.home() + "/site.png";
    browse("http://127.0.0.1:" + std::to_string(server.Port()) + "/", siteShot.toStdString());
    KeepForLook(siteShot);

    // The key never reaches the service's log, nor does the id's full text.
    const std::string log = server.Stderr();
    EXPECT_EQ(log.find(token), std::string::npos) << log;
    EXPECT_EQ(log.find(token.substr(0, 10)), std::string::npos) << log;
    EXPECT_NE(log.find("post"), std::string::npos) << "the service logs its requests\n" << log;
}

} // namespace
} // namespace tarvo::test
