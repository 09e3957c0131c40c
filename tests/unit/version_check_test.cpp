#include "net/version_check.h"
#include "platform/commands.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "settings/service.h"
#include "support/http_server.h"
#include "support/temp_env.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo {
namespace {

using namespace std::chrono_literals;

TEST(IsOlderVersion, ReadsLikeScanfPercentI)
{
    struct Case
    {
        const char* a;
        const char* b;
        bool older;
    };
    const Case cases[] = {
        {"1.6.131", "1.6.131", false},
        {"1.6.131", "1.6.132", true},
        {"1.6.132", "1.6.131", false},
        {"1.6.131", "1.10.0", true},  // numbers, not text
        {"1.6.131", "1.08.0", false}, // octal 0, then "8" stops the reading: 1.0.0
        {"1.6.131", "1.07.0", true},  // octal 7
        {"1.6.131", "1.6.131\r\n", false},
        {"1.6.131", "1.6.131 beta", false},
        {"1.6.131", "  1.6.132", true},    // leading blanks are skipped
        {"1.6.131", "1. 6. 132", true},    // also before each number
        {"1.6.131", "0x1.0x6.0x84", true}, // hex: 1.6.132
        {"1.6.131", "0x1.0X6.0x83", false},
        {"1.6.131", "+1.+6.+132", true},
        {"1.6.131", "-1.9.9", false},
        {"-1.0.0", "0.0.0", true},
        {"1.6.131", "", false}, // 0.0.0
        {"", "0.0.1", true},
        {"1.6.131", "2", true},     // 2.0.0
        {"1.6.131", "1.7", true},   // 1.7.0
        {"1.6.131", "1..9", false}, // 1.0.0: the reading stops at the empty number
        {"1.6.131", "v2.0.0", false},
        {"1.6.131", "<html>", false},
        {"1.6.131", "1.6.99999999999", true}, // saturates instead of wrapping
        {"1.6.131", "1.6.-5", false},
        {"1.6.131", "1.6.0x", false}, // "0x" without hex digits reads as 0
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsOlderVersion(QString::fromLatin1(c.a), QString::fromLatin1(c.b)), c.older)
            << c.a << " vs " << c.b;
}

class RecordingWindow : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr) override { commands.push_back(command); }
    std::vector<qintptr> commands;
};

class VersionCheck : public ::testing::Test
{
protected:
    void SetUp() override
    {
        home.env().set("TARVO_SERVICE_URL", server.baseUrl().toUtf8());
        home.env().set("no_proxy", "127.0.0.1");
        Exiting = false;
        platform::SetMainWindow(&window);
        hooks.waitStep = [this] { ++steps; };
        hooks.ask = [this](int id) {
            asked.push_back(id);
            return answerYes;
        };
        hooks.openBrowser = [this](const QString& url) {
            opened << url;
            return true;
        };
    }
    void TearDown() override
    {
        platform::SetMainWindow(nullptr);
        Exiting = false;
    }
    static test::CannedReply Text(std::string body, int status = 200)
    {
        test::CannedReply r;
        r.body = std::move(body);
        r.status = status;
        return r;
    }

    test::TempHome home;
    test::HttpServer server;
    RecordingWindow window;
    VersionCheckHooks hooks;
    std::atomic<int> steps{0};
    std::vector<int> asked;
    bool answerYes = false;
    QStringList opened;
};

TEST_F(VersionCheck, Decisions)
{
    struct Case
    {
        const char* what;
        std::string recommended, minimum;
        bool yes;
        std::vector<int> asked;
        bool opens, exits;
    };
    const Case cases[] = {
        {"same version", "1.6.131", "1.6.131", true, {}, false, false},
        {"newer, No", "1.6.132", "1.0.0", false, {IDS_NEW_VERSION}, false, false},
        {"newer, Yes", "1.6.132", "1.0.0", true, {IDS_NEW_VERSION}, true, false},
        {"outdated, No", "1.7.0", "1.6.132", false, {IDS_OUTDATED}, false, true},
        {"outdated, Yes", "1.7.0", "1.6.132", true, {IDS_OUTDATED}, true, true},
        {"no minimum", "2.0.0", "", false, {IDS_NEW_VERSION}, false, false},
        {"trailing line end", "1.6.131\r\n", "9.9.9", true, {}, false, false},
        {"1.10.0", "1.10.0", "1.0.0", false, {IDS_NEW_VERSION}, false, false},
        {"1.08.0", "1.08.0", "9.9.9", true, {}, false, false},
        // Only 15 bytes are read: the blanks hide the version that follows them.
        {"long reply", std::string(15, ' ') + "1.6.132", "9.9.9", true, {}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.setValues(
            {{"Version.Recommended", Text(c.recommended)}, {"Version.Minimum", Text(c.minimum)}});
        const std::size_t before = server.requests().size();
        asked.clear();
        opened.clear();
        window.commands.clear();
        steps = 0;
        answerYes = c.yes;
        RunVersionCheck(hooks);
        EXPECT_EQ(steps, 15);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(opened, c.opens ? QStringList{ProductSiteUrl()} : QStringList{});
        EXPECT_EQ(window.commands,
                  c.exits ? std::vector<qintptr>{CmdExit} : std::vector<qintptr>{});
        // The minimum is asked for only when a newer version is recommended.
        EXPECT_EQ(server.requests().size() - before, c.asked.empty() ? 1u : 2u);
    }
}

TEST_F(VersionCheck, RequestsCarryTheProgramsAgent)
{
    server.setValues({{"Version.Recommended", Text("1.6.132")}, {"Version.Minimum", Text("1")}});
    RunVersionCheck(hooks);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/db/Version.Recommended");
    EXPECT_EQ(requests[1].path, "/db/Version.Minimum");
    for (const auto& r : requests) {
        EXPECT_EQ(r.header("User-Agent"), "Tarvo/1.6.131");
        EXPECT_FALSE(r.hasHeader("Accept"));
        EXPECT_TRUE(r.body.empty());
    }
}

TEST_F(VersionCheck, UnreachableOrFailingServiceChangesNothing)
{
    server.setValues({{"Version.Recommended", Text("Internal error 9.9.9", 500)}});
    RunVersionCheck(hooks);
    EXPECT_EQ(server.requests().size(), 1u);

    test::DroppingServer dropping;
    home.env().set("TARVO_SERVICE_URL", dropping.baseUrl().toUtf8());
    RunVersionCheck(hooks);
    EXPECT_GE(dropping.connections(), 1);

    home.env().set("TARVO_SERVICE_URL", "not an address");
    EXPECT_EQ(FetchServerValue("Version.Recommended"), QString());
    RunVersionCheck(hooks);

    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(window.commands.empty());
}

TEST_F(VersionCheck, ClosingDuringTheWaitMakesNoRequest)
{
    server.setValues({{"Version.Recommended", Text("9.0.0")}, {"Version.Minimum", Text("9.0.0")}});
    hooks.waitStep = [this] {
        if (++steps == 4) Exiting = true;
    };
    RunVersionCheck(hooks);
    EXPECT_EQ(steps, 4);
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(asked.empty());
}

TEST_F(VersionCheck, GivesUpWithinASecondOfTheExitingFlag)
{
    server.setValues({{"Version.Recommended", Text("9.0.0")}});
    hooks.waitStep = nullptr; // the real one-second steps
    QElapsedTimer t;
    t.start();
    std::thread worker([this] { RunVersionCheck(hooks); });
    std::this_thread::sleep_for(1500ms);
    Exiting = true;
    worker.join();
    EXPECT_LT(t.elapsed(), 2600);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(VersionCheck, ClosingDuringARequestAbandonsIt)
{
    test::CannedReply slow = Text("9.0.0");
    slow.delay = 4000ms;
    server.setValues({{"Version.Recommended", slow}});
    std::thread closer([] {
        std::this_thread::sleep_for(300ms);
        Exiting = true;
    });
    QElapsedTimer t;
    t.start();
    RunVersionCheck(hooks);
    closer.join();
    EXPECT_LT(t.elapsed(), 2500);
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(window.commands.empty());
}

} // namespace
} // namespace tarvo
