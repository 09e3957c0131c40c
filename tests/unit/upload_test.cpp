#include "net/crypto.h"
#include "net/log.h"
#include "net/upload.h"
#include "platform/commands.h"
#include "platform/process_state.h"
#include "platform/random.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/settings.h"
#include "support/http_server.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QFile>
#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <set>

// Readable failure output.
inline void PrintTo(const QStringList& l, std::ostream* os)
{
    *os << l.join(" / ").toStdString();
}

// Readable failure output.
inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << s.toStdString();
}

namespace tarvo {
namespace test {
// The service's side of the encryption (crypto_test.cpp).
std::optional<QByteArray> Decrypt(const ImageKey& key, const QByteArray& cipher);
} // namespace test

namespace {

using namespace std::chrono_literals;
using test::Reply;

// Stands in for the main window: records what the workers send.
class FakeMainWindow : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr param) override
    {
        if (command == CmdRefreshIcon) counters.push_back(UploadsInProgress.load());
        if (command == CmdAddHistory) history.push_back(*reinterpret_cast<const QString*>(param));
        commands.push_back(command);
    }
    std::vector<qintptr> commands;
    std::vector<std::int32_t> counters; // the counter as each refresh saw it
    QStringList history;
};

struct Sent
{
    QByteArray id; // 8 bytes
    ImageKey key{};
};

test::CannedReply Pieces(std::vector<std::string> chunks, std::chrono::milliseconds gap)
{
    test::CannedReply r;
    r.chunks = std::move(chunks);
    r.chunkGap = gap;
    return r;
}

// The 20-character token of a link back to id and key.
Sent FromLink(const QString& link, const QString& base)
{
    Sent s;
    const QByteArray token = link.mid(base.size(), 20).toLatin1();
    const QByteArray raw = QByteArray::fromBase64(token, QByteArray::Base64UrlEncoding);
    if (raw.size() != 15) return s;
    s.id = raw.left(8);
    std::copy(raw.begin() + 8, raw.end(), s.key.begin());
    return s;
}

class Upload : public ::testing::Test
{
protected:
    void SetUp() override
    {
        home.env().set("TARVO_SERVICE_URL", server.baseUrl().toUtf8());
        home.env().set("no_proxy", "127.0.0.1");
        platform::SetMainWindow(&window);
        Settings = SettingsRecord{};
        Settings.sounds = true;
        services.emplace([this](Services& s) {
            s.playSound = [this](int id, const QByteArray&) {
                const std::lock_guard<std::mutex> g(soundsLock);
                sounds.push_back(id);
            };
            s.logClock = [] { return QStringLiteral("T"); };
        });
        ASSERT_TRUE(OpenLog(home.path() + "/upload.log"));
    }
    void TearDown() override
    {
        platform::SetMainWindow(nullptr);
        CloseLog();
        services.reset();
        Settings = SettingsRecord{};
    }

    static std::unique_ptr<UploadJob> Job(const QByteArray& image, const QString& mime,
                                          const QString& annotation = QString())
    {
        auto job = std::make_unique<UploadJob>();
        job->image = image;
        job->imageSize = std::uint64_t(image.size());
        job->mimeType = mime;
        job->annotation = annotation;
        return job;
    }

    // Starts the uploads and lets the user-interface thread serve them until all have ended.
    void Run(std::vector<std::unique_ptr<UploadJob>> jobs, int timeoutMs = 15000)
    {
        const std::size_t expected = window.counters.size() + 2 * jobs.size();
        for (auto& j : jobs)
            StartUpload(std::move(j));
        ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.counters.size() >= expected; },
                                             timeoutMs));
        EXPECT_EQ(UploadsInProgress.load(), 0);
    }
    void Run(std::unique_ptr<UploadJob> job, int timeoutMs = 15000)
    {
        std::vector<std::unique_ptr<UploadJob>> jobs;
        jobs.push_back(std::move(job));
        Run(std::move(jobs), timeoutMs);
    }

    // Log lines without their time stamps.
    QStringList Log() const
    {
        QFile f(home.path() + "/upload.log");
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList out;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("T: ")) out << QString::fromUtf8(line.mid(3));
        return out;
    }
    std::vector<int> Sounds()
    {
        const std::lock_guard<std::mutex> g(soundsLock);
        return sounds;
    }

    test::TempHome home;
    test::HttpServer server;
    FakeMainWindow window;
    std::mutex soundsLock;
    std::optional<ScopedServices> services;
    std::vector<int> sounds;
};

TEST_F(Upload, PostsTheEncryptedImageAndDeliversItsLink)
{
    const QByteArray image = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(3001, 'p');
    Run(Job(image, "image/png", "Мой снимок 1"));

    ASSERT_EQ(server.requests().size(), 1u);
    const test::RecordedRequest r = server.requests()[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/db/Post");
    EXPECT_TRUE(r.query.starts_with("id="));
    EXPECT_EQ(r.query[14], '=');
    EXPECT_EQ(r.query.substr(15),
              "&annotation=%u041c%u043e%u0439+%u0441%u043d%u0438%u043c%u043e%u043a+1");

    // Exactly the program's three header lines besides the ones HTTP itself needs.
    std::set<std::string> names;
    for (const auto& [name, value] : r.headers)
        if (name != "Host" && name != "Content-Length") names.insert(name);
    EXPECT_EQ(names,
              (std::set<std::string>{"User-Agent", "Content-type", "Content-Transfer-Encoding"}));
    EXPECT_EQ(r.header("User-Agent"), "Tarvo/1.6.131");
    EXPECT_EQ(r.header("Content-type"), "image/jpeg"); // for PNG too
    EXPECT_EQ(r.header("Content-Transfer-Encoding"), "binary");
    EXPECT_EQ(r.header("Content-Length"), "3016");
    EXPECT_EQ(r.body.size(), 3016u);

    ASSERT_EQ(window.history.size(), 1);
    const QString link = window.history[0];
    const QString base = server.baseUrl();
    ASSERT_TRUE(link.startsWith(base));
    EXPECT_EQ(link.size(), base.size() + 20 + 4);
    EXPECT_TRUE(link.endsWith(".htp"));
    const Sent sent = FromLink(link, base);
    EXPECT_EQ(EncodeLinkToken(sent.id.constData(), 8).toStdString(), r.query.substr(3, 12));
    EXPECT_EQ(test::Decrypt(sent.key, QByteArray::fromStdString(r.body)), image);

    EXPECT_EQ(window.counters, (std::vector<std::int32_t>{1, 0}));
    EXPECT_EQ(window.commands,
              (std::vector<qintptr>{CmdRefreshIcon, CmdAddHistory, CmdRefreshIcon}));
    EXPECT_EQ(Sounds(), std::vector<int>{IDW_SUCCESS});
    const QString posting = "Posting to: /db/" + QString::fromStdString(r.path.substr(4)) + "?" +
                            QString::fromStdString(r.query);
    EXPECT_EQ(Log(),
              (QStringList{"Encrypting buffer", "Creating and opening Internet session", posting,
                           "Sending request", "Reading reply", "Image posted", "Posted to URL"}));
}

TEST_F(Upload, RequestAndLinkForms)
{
    struct Case
    {
        const char* mime;
        QString annotation;
        std::string queryTail;
        const char* extension;
    };
    const Case cases[] = {
        {"image/png", QString(), "&annotation=", ".htp"},
        {"image/jpeg", "a b.c", "&annotation=a+b%2ec", ".htm"},
        {"image/PNG", "x", "&annotation=x", ".htm"}, // only the exact text means PNG
    };
    for (const Case& c : cases) {
        const std::size_t before = server.requests().size();
        Run(Job("0123456789", c.mime, c.annotation));
        ASSERT_EQ(server.requests().size(), before + 1);
        const std::string query = server.requests().back().query;
        EXPECT_EQ(query.substr(15), c.queryTail) << c.mime;
        EXPECT_TRUE(window.history.back().endsWith(c.extension)) << c.mime;
    }
}

TEST_F(Upload, OnlyExactlyOkCounts)
{
    struct Case
    {
        const char* what;
        test::CannedReply reply;
        bool ok;
        QString logged; // the line before the failure, if any
    };
    const std::string thousand(1000, 'x');
    const Case cases[] = {
        {"OK", Reply(200, "OK"), true, {}},
        {"OK with an error status", Reply(500, "OK"), false, "Server replied with HTTP status 500"},
        {"OK with a redirect", Reply(302, "OK"), false, "Server replied with HTTP status 302"},
        {"OK with no content", Reply(204, ""), false,
         "Cannot read server reply, ReadString failed"},
        {"OK with another success status", Reply(201, "OK"), true, {}},
        {"OK in two pieces", Pieces({"O", "K"}, 200ms), true, {}},
        {"OK and a new line", Reply(200, "OK\n"), false,
         "Server was supposed to reply OK, instead it replied: OK\\n"},
        {"OK and a line end", Reply(200, "OK\r\n"), false,
         "Server was supposed to reply OK, instead it replied: OK\\r\\n"},
        {"lowercase", Reply(200, "ok"), false,
         "Server was supposed to reply OK, instead it replied: ok"},
        {"error page", Reply(404, "Not here"), false, "Server replied with HTTP status 404"},
        {"empty body", Reply(200, ""), false, "Cannot read server reply, ReadString failed"},
        {"1000 bytes", Reply(200, thousand), false,
         "Server was supposed to reply OK, instead it replied: " + QString(100, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server.setReply(c.reply);
        const qsizetype historyBefore = window.history.size();
        const std::size_t soundsBefore = Sounds().size();
        const qsizetype logBefore = Log().size();
        Run(Job("img", "image/jpeg"));
        EXPECT_EQ(window.history.size(), historyBefore + (c.ok ? 1 : 0));
        ASSERT_EQ(Sounds().size(), soundsBefore + 1);
        EXPECT_EQ(Sounds().back(), c.ok ? IDW_SUCCESS : IDW_FAILURE);
        const QStringList log = Log().mid(logBefore);
        if (c.ok) {
            EXPECT_EQ(log.back(), "Posted to URL");
        } else {
            ASSERT_GE(log.size(), 2);
            EXPECT_EQ(log[log.size() - 2].toStdString(), c.logged.toStdString());
            EXPECT_EQ(log.back(), "Exception: 0x80004005: Unspecified error");
            EXPECT_FALSE(log.contains("Image posted"));
        }
    }
}

// The frozen picture waits for this: told once, after the link is in the history and before
// the sound, whether the service took the picture or not.
TEST_F(Upload, WhoeverWaitsIsToldOnceTheLinkIsThereOrTheUploadFailed)
{
    for (const bool accepted : {true, false}) {
        SCOPED_TRACE(accepted ? "accepted" : "refused");
        server.setReply(accepted ? Reply(200, "OK") : Reply(500, "OK"));
        const qsizetype historyBefore = window.history.size();
        const std::size_t soundsBefore = Sounds().size();
        std::atomic<int> told{0};
        qsizetype historyThen = -1;
        std::size_t soundsThen = 0;
        auto job = Job("img", "image/jpeg");
        job->finished = [&] {
            historyThen = window.history.size();
            soundsThen = Sounds().size();
            ++told;
        };
        Run(std::move(job));
        EXPECT_EQ(told.load(), 1);
        EXPECT_EQ(historyThen, historyBefore + (accepted ? 1 : 0));
        EXPECT_EQ(soundsThen, soundsBefore);
        EXPECT_EQ(Sounds().size(), soundsBefore + 1);
    }
}

TEST_F(Upload, TransportFailuresAreLoggedWithTheirMessage)
{
    const int closedPort = test::ClosedPort();
    test::DroppingServer dropping;
    struct Case
    {
        const char* what;
        QString url;
    };
    const Case cases[] = {
        {"dropped connection", dropping.baseUrl()},
        {"connection refused", QStringLiteral("http://127.0.0.1:%1/db/").arg(closedPort)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        home.env().set("TARVO_SERVICE_URL", c.url.toUtf8());
        const qsizetype logBefore = Log().size();
        Run(Job("img", "image/png"));
        const QStringList log = Log().mid(logBefore);
        ASSERT_FALSE(log.isEmpty());
        EXPECT_TRUE(log.back().startsWith("Exception: ")) << log.back().toStdString();
        EXPECT_FALSE(log.back().startsWith("Exception: 0x")) << log.back().toStdString();
        EXPECT_GT(log.back().size(), QString("Exception: ").size());
        EXPECT_TRUE(log.contains("Sending request"));
        EXPECT_EQ(Sounds().back(), IDW_FAILURE);
    }
    EXPECT_GE(dropping.connections(), 1);
    EXPECT_TRUE(window.history.isEmpty());
}

TEST_F(Upload, AStalledReplyFailsAfterTheStallTime)
{
    const ScopedServices stall([](Services& s) { s.uploadTimeouts = {2000ms, 1000ms}; });
    server.setReply(Reply(200, "OK", 4000ms));
    QElapsedTimer t;
    t.start();
    Run(Job("img", "image/png"));
    EXPECT_LT(t.elapsed(), 3800);
    EXPECT_TRUE(window.history.isEmpty());
    EXPECT_TRUE(Log().back().startsWith("Exception: "));
    EXPECT_EQ(Sounds(), std::vector<int>{IDW_FAILURE});

    // A reply that is slow but keeps within the limits is fine.
    server.setReply(Reply(200, "OK", 300ms));
    Run(Job("img", "image/png"));
    EXPECT_EQ(window.history.size(), 1);
}

TEST_F(Upload, AServerCannotForgeLogLines)
{
    server.setReply(Reply(200, "no\n2024-01-01 00:00:00: Posted to URL\r\x1b[2J\xe2\x80\xa8x"));
    Run(Job("img", "image/png"));
    const QStringList log = Log();
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log[log.size() - 2], "Server was supposed to reply OK, instead it replied: "
                                   "no\\n2024-01-01 00:00:00: Posted to URL\\r\\x1b[2J\\u2028x");
    EXPECT_FALSE(log.contains("Posted to URL"));
    EXPECT_EQ(LogSafe(u"C:\\shots\tt\u0085"), "C:\\shots\\tt\\x85");
}

TEST_F(Upload, AServerThatTricklesItsReplyIsCutOff)
{
    // A byte every 50 ms keeps a connection busy but is far below the low-speed limit; headers
    // that never end keep it above, and the total limit ends them. The limits are scaled down.
    struct Case
    {
        const char* what;
        test::Trickle trickle;
        platform::HttpTimeouts limits;
        QString message;
    };
    const Case cases[] = {
        {"body a byte at a time",
         {"HTTP/1.1 200 OK\r\nContent-Length: 999\r\n\r\n", "x", 999, 50ms},
         {2000ms, 1000ms, 1024, 60000ms},
         "Exception: Timeout was reached: fewer than 1024 bytes were sent or received in 1000 ms"},
        {"headers a byte at a time",
         {"HTTP/1.1 200 OK\r\n", "X", 999, 50ms},
         {2000ms, 1000ms, 1024, 60000ms},
         "Exception: Timeout was reached: fewer than 1024 bytes were sent or received in 1000 ms"},
        {"headers that never end",
         {"HTTP/1.1 200 OK\r\n", "X-Padding: " + std::string(200, 'p') + "\r\n", 100000, 10ms},
         {2000ms, 500ms, 1024, 2500ms},
         "Exception: Timeout was reached: the request took longer than 2500 ms"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::DroppingServer trickling(c.trickle);
        home.env().set("TARVO_SERVICE_URL", trickling.baseUrl().toUtf8());
        const ScopedServices limits([&c](Services& s) { s.uploadTimeouts = c.limits; });
        Run(Job("img", "image/png"), 30000);
        EXPECT_EQ(Log().back(), c.message);
        EXPECT_TRUE(window.history.isEmpty());
        EXPECT_EQ(Sounds().back(), IDW_FAILURE);
    }
}

TEST_F(Upload, OverlappingUploadsEachGetTheirOwnIdentity)
{
    server.setReply(Reply(200, "OK", 400ms));
    std::vector<std::unique_ptr<UploadJob>> jobs;
    jobs.push_back(Job("first", "image/png"));
    jobs.push_back(Job("second", "image/jpeg"));
    Run(std::move(jobs));

    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_NE(server.requests()[0].query.substr(3, 12), server.requests()[1].query.substr(3, 12));
    ASSERT_EQ(window.history.size(), 2);
    EXPECT_NE(window.history[0], window.history[1]);
    EXPECT_NE(FromLink(window.history[0], server.baseUrl()).key,
              FromLink(window.history[1], server.baseUrl()).key);
    // Both were in flight at once at some point, and the counter ends at zero.
    EXPECT_EQ(*std::max_element(window.counters.begin(), window.counters.end()), 2);
    EXPECT_EQ(window.counters.back(), 0);
    EXPECT_EQ(Sounds(), (std::vector<int>{IDW_SUCCESS, IDW_SUCCESS}));
}

TEST_F(Upload, NoSoundsWhenSwitchedOff)
{
    Settings.sounds = false;
    Run(Job("img", "image/png"));
    server.setReply(Reply(200, "no"));
    Run(Job("img", "image/png"));
    EXPECT_EQ(window.history.size(), 1);
    EXPECT_TRUE(Sounds().empty());
}

long BrokenRandom(void*, std::size_t, unsigned)
{
    errno = EIO;
    return -1;
}

TEST_F(Upload, PlatformFailuresLogTheCodeAndItsText)
{
    const ScopedServices broken([](Services& s) { s.randomBytes = &BrokenRandom; });
    Run(Job("img", "image/png"));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_EQ(Log(), QStringList{"Exception: 0x8007001f: A device attached to the system is not "
                                 "functioning."});
    EXPECT_EQ(Sounds(), std::vector<int>{IDW_FAILURE});
    EXPECT_EQ(window.counters, (std::vector<std::int32_t>{1, 0}));
}

TEST_F(Upload, AnUnusableServiceAddressFailsCleanly)
{
    home.env().set("TARVO_SERVICE_URL", "no address at all");
    Run(Job("img", "image/png"));
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(window.history.isEmpty());
    EXPECT_TRUE(Log().back().startsWith("Exception: 0x80070057"));
}

TEST_F(Upload, OnlyTheAnnouncedImageSizeIsSent)
{
    auto job = Job("0123456789abcdefghij", "image/png");
    job->imageSize = 10;
    Run(std::move(job));
    ASSERT_EQ(window.history.size(), 1);
    const Sent sent = FromLink(window.history[0], server.baseUrl());
    EXPECT_EQ(test::Decrypt(sent.key, QByteArray::fromStdString(server.requests()[0].body)),
              QByteArray("0123456789"));
}

} // namespace
} // namespace tarvo
