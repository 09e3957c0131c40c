// The HTTP layer: the real tarvo-server binary on 127.0.0.1, spoken to over raw sockets. Every
// test ends by searching the server's whole log for every token it used: the key travels in
// the link's path, so none may ever be written there.
#include "protocol/annotation.h"
#include "server/http_client.h"
#include "server/postgres_harness.h"
#include "server/server_process.h"
#include "server/test_images.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <signal.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tarvo::server {
namespace {

using test::HttpReply;
using test::ImageKind;
using test::MakeTestImage;
using test::ServerProcess;
using test::TestImage;

class HttpTest : public ::testing::Test
{
protected:
    ServerProcess& Start(const std::vector<std::string>& extra = {})
    {
        servers_.push_back(std::make_unique<ServerProcess>(data_.Path(), extra));
        ServerProcess& server = *servers_.back();
        EXPECT_TRUE(server.Started()) << server.Error();
        return server;
    }

    // Every token a test sends goes through here, so TearDown can look for it in the log.
    TestImage Remember(TestImage image)
    {
        const std::lock_guard<std::mutex> g(lock_);
        secrets_.push_back(image.idToken);
        secrets_.push_back(image.linkToken);
        return image;
    }
    void RememberText(const std::string& text)
    {
        const std::lock_guard<std::mutex> g(lock_);
        secrets_.push_back(text);
    }

    void TearDown() override
    {
        for (auto& server : servers_) {
            if (server->Pid() > 0) {
                EXPECT_EQ(server->Stop(), 0) << "SIGTERM: exit status";
            }
            const std::string log = server->Stderr();
            for (const std::string& secret : secrets_)
                EXPECT_EQ(log.find(secret), std::string::npos) << "in the log: " << secret;
            std::istringstream lines(log);
            const std::regex shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: [^\x00-\x1f]*)");
            for (std::string line; std::getline(lines, line);)
                EXPECT_TRUE(std::regex_match(line, shape)) << line;
        }
    }

    std::optional<HttpReply> Post(std::uint16_t port, const TestImage& image,
                                  const std::string& title = "")
    {
        return test::PostImage(port, image.idToken, title, image.cipher);
    }
    std::optional<HttpReply> Get(std::uint16_t port, const std::string& target)
    {
        return test::Send(port, "GET", target);
    }

    test::TempDir data_;
    std::vector<std::unique_ptr<ServerProcess>> servers_;
    std::mutex lock_;
    std::vector<std::string> secrets_;
};

bool peerClosed(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

std::string chunk(std::string_view data)
{
    std::ostringstream size;
    size << std::hex << data.size();
    return size.str() + "\r\n" + std::string(data) + "\r\n";
}

TEST_F(HttpTest, TheClientsRoundTrip)
{
    const std::uint16_t port = Start().Port();
    const TestImage image = Remember(MakeTestImage(1, ImageKind::Png, 20000));
    const std::string title = protocol::EscapeAnnotation(u"Отчёт за май");
    RememberText(title);

    const auto posted = Post(port, image, title);
    ASSERT_TRUE(posted.has_value());
    EXPECT_EQ(posted->status, 200);
    EXPECT_EQ(posted->body, "OK");

    const auto page = Get(port, "/db/" + image.linkToken + ".htp");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<title>Отчёт за май</title>"), std::string::npos);
    EXPECT_EQ(page->Header("referrer-policy"), "no-referrer");
    EXPECT_EQ(page->Header("x-frame-options"), "DENY");

    const auto picture = Get(port, "/db/" + image.linkToken + ".png");
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->status, 200);
    EXPECT_EQ(picture->Header("content-type"), "image/png");
    EXPECT_EQ(picture->body, image.plain);

    const auto head = test::Send(port, "HEAD", "/db/" + image.linkToken + ".png");
    ASSERT_TRUE(head.has_value());
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->Header("content-length"), std::to_string(image.plain.size()));
    EXPECT_EQ(head->body, "");

    EXPECT_EQ(Get(port, "/db/Version.Recommended")->body, TARVO_VERSION);
    EXPECT_EQ(Get(port, "/db/Version.Minimum")->body, "1.0.0");
    EXPECT_EQ(Get(port, "/")->status, 200);
    EXPECT_EQ(Get(port, "/db/" + MakeTestImage(2).linkToken + ".htp")->status, 404);
    EXPECT_EQ(test::Send(port, "PUT", "/db/" + image.linkToken + ".htp", "x")->status, 405);
}

TEST_F(HttpTest, StopFinishesThePostInFlight)
{
    ServerProcess& server = Start();
    const TestImage image = Remember(MakeTestImage(8, ImageKind::Png, 40000));
    const int fd = test::Connect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAll(fd, "POST /db/Post?id=" + image.idToken +
                                      "&annotation= HTTP/1.1\r\nHost: x\r\n"
                                      "Expect: 100-continue\r\nContent-Length: " +
                                      std::to_string(image.cipher.size()) + "\r\n\r\n"));
    // "100 Continue": the server has the request in hand when it is told to stop ...
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    ASSERT_TRUE(std::string_view(buffer, static_cast<std::size_t>(n))
                    .starts_with("HTTP/1.1 100 Continue\r\n\r\n"));
    server.Signal(SIGTERM);
    for (int i = 0; i < 6000 && server.Stderr().find("stopping on SIGTERM") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // ... and still takes the body and answers.
    ASSERT_TRUE(test::SendAll(fd, image.cipher));
    const auto reply = test::ParseReply(test::ReadToEnd(fd));
    close(fd);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->body, "OK");
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(test::Send(server.Port(), "GET", "/"), std::nullopt); // no longer listening

    const std::uint16_t again = Start().Port();
    EXPECT_EQ(Get(again, "/db/" + image.linkToken + ".png")->body, image.plain);
}

TEST_F(HttpTest, PostgresqlBehindTheSameService)
{
    test::PostgresHarness& postgres = test::PostgresHarness::Shared();
    ASSERT_TRUE(postgres.Running()) << postgres.Error();
    const std::string url = postgres.CreateDatabase("http");
    ASSERT_FALSE(url.empty()) << postgres.Error();
    const std::uint16_t port = Start({"--database", url}).Port();
    const TestImage image = Remember(MakeTestImage(9, ImageKind::Jpeg, 3000));
    EXPECT_EQ(Post(port, image, "pg")->body, "OK");
    EXPECT_EQ(Post(port, image, "pg")->status, 409);
    const auto page = Get(port, "/db/" + image.linkToken + ".htm");
    EXPECT_NE(page->body.find("<title>pg</title>"), std::string::npos);
    EXPECT_EQ(Get(port, "/db/" + image.linkToken + ".jpg")->body, image.plain);
}

TEST_F(HttpTest, KeepAliveServesOneRequestAfterAnother)
{
    const std::uint16_t port = Start().Port();
    const int fd = test::Connect(port);
    ASSERT_GE(fd, 0);
    const std::string get = "GET /db/Version.Minimum HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_TRUE(test::SendAll(fd, get + get + get));
    ASSERT_TRUE(test::SendAll(fd, "GET /db/Version.Minimum HTTP/1.1\r\nHost: x\r\n"
                                  "Connection: close\r\n\r\n"));
    const std::string all = test::ReadToEnd(fd);
    close(fd);
    std::size_t answers = 0;
    for (std::size_t at = all.find("HTTP/1.1 200"); at != std::string::npos;
         at = all.find("HTTP/1.1 200", at + 1))
        ++answers;
    EXPECT_EQ(answers, 4u);
}

TEST_F(HttpTest, OversizeLengthIsRefusedWithoutReadingTheBody)
{
    const std::uint16_t port = Start().Port();
    const TestImage image = Remember(MakeTestImage(3));
    for (const std::string expect : {"", "Expect: 100-continue\r\n"}) {
        SCOPED_TRACE(expect);
        const int fd = test::Connect(port);
        ASSERT_GE(fd, 0);
        // A gigabyte announced, not one byte of it sent: the answer must come anyway.
        ASSERT_TRUE(test::SendAll(fd, "POST /db/Post?id=" + image.idToken +
                                          "&annotation= HTTP/1.1\r\nHost: x\r\n" + expect +
                                          "Content-Length: 1073741824\r\n\r\n"));
        const auto reply = test::ParseReply(test::ReadToEnd(fd));
        close(fd);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->status, 413);
        EXPECT_EQ(reply->body, "too large");
        EXPECT_EQ(reply->Header("connection"), "close");
    }
    EXPECT_EQ(Get(port, "/db/" + image.linkToken + ".png")->status, 404);
    EXPECT_EQ(Post(port, image)->body, "OK");
}

TEST_F(HttpTest, ChunkedBodiesAreCountedAsTheyCome)
{
    const std::size_t limit = 65536;
    const std::uint16_t port = Start({"--max-body", std::to_string(limit)}).Port();
    auto postChunked = [&](const TestImage& image, const std::string& body) {
        const int fd = test::Connect(port);
        std::string request = "POST /db/Post?id=" + image.idToken +
                              "&annotation= HTTP/1.1\r\nHost: x\r\n"
                              "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
        for (std::size_t at = 0; at < body.size(); at += 4096)
            request += chunk(std::string_view(body).substr(at, 4096));
        request += "0\r\n\r\n";
        std::optional<HttpReply> reply;
        if (test::SendAll(fd, request)) reply = test::ParseReply(test::ReadToEnd(fd));
        close(fd);
        return reply;
    };

    const TestImage fits = Remember(MakeTestImage(4, ImageKind::Png, limit - 8));
    ASSERT_EQ(fits.cipher.size(), limit);
    const auto ok = postChunked(fits, fits.cipher);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->body, "OK");
    EXPECT_EQ(Get(port, "/db/" + fits.linkToken + ".png")->body, fits.plain);

    const TestImage over = Remember(MakeTestImage(5, ImageKind::Png, limit));
    const auto refused = postChunked(over, over.cipher);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->status, 413);
    EXPECT_EQ(Get(port, "/db/" + over.linkToken + ".png")->status, 404);

    // A body that never ends is cut off, not read for ever.
    const TestImage endless = Remember(MakeTestImage(6));
    const int fd = test::Connect(port);
    ASSERT_TRUE(test::SendAll(fd, "POST /db/Post?id=" + endless.idToken +
                                      "&annotation= HTTP/1.1\r\nHost: x\r\n"
                                      "Transfer-Encoding: chunked\r\n\r\n"));
    const std::string piece = chunk(std::string(65536, 'z'));
    std::size_t sent = 0;
    const std::size_t bound = std::size_t{256} << 20;
    while (sent < bound && test::SendAll(fd, piece))
        sent += piece.size();
    close(fd);
    EXPECT_LT(sent, bound);
    EXPECT_EQ(Get(port, "/db/" + endless.linkToken + ".png")->status, 404);
}

TEST_F(HttpTest, BodiesHeldAtOnceAreBounded)
{
    const std::uint16_t port =
        Start({"--upload-memory", "1048576", "--max-body", "1048576"}).Port();
    const TestImage small = Remember(MakeTestImage(10));
    const TestImage large = Remember(MakeTestImage(11));
    // One post announcing the whole budget ("100 Continue": counted) and sending nothing yet
    // ...
    const int holder = test::Connect(port);
    ASSERT_TRUE(test::SendAll(holder, "POST /db/Post?id=" + large.idToken +
                                          "&annotation= HTTP/1.1\r\nHost: x\r\n"
                                          "Expect: 100-continue\r\n"
                                          "Content-Length: 1048576\r\n\r\n"));
    char buffer[256];
    const ssize_t n = recv(holder, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    ASSERT_TRUE(
        std::string_view(buffer, static_cast<std::size_t>(n)).starts_with("HTTP/1.1 100 Continue"));
    // ... leaves no room for another until it goes away.
    const auto refused = Post(port, small);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->status, 503);
    EXPECT_EQ(refused->Header("retry-after"), "5");
    close(holder);
    std::optional<HttpReply> accepted;
    for (int i = 0; i < 1000 && !(accepted && accepted->body == "OK"); ++i) {
        accepted = Post(port, small);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(accepted.has_value());
    EXPECT_EQ(accepted->body, "OK");
}

TEST_F(HttpTest, TricklingClientsAreDropped)
{
    // The idle time-out never fires for a byte every 200 ms; the request time-out must.
    const std::uint16_t port = Start({"--timeout", "2", "--request-timeout", "3"}).Port();
    const TestImage image = Remember(MakeTestImage(7));
    const std::string head = "POST /db/Post?id=" + image.idToken +
                             "&annotation= HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                             std::to_string(image.cipher.size()) + "\r\n\r\n";
    struct Case
    {
        const char* what;
        std::string sentAtOnce;
        std::string trickled;
    };
    for (const Case& c :
         {Case{"headers", "", head + image.cipher}, Case{"body", head, image.cipher}}) {
        SCOPED_TRACE(c.what);
        const int fd = test::Connect(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(test::SendAll(fd, c.sentAtOnce));
        // Trickled to the end this would take over three minutes.
        ASSERT_GT(c.trickled.size(), 1000u);
        bool dropped = false;
        for (std::size_t i = 0; i < c.trickled.size() && !dropped; ++i) {
            dropped = !test::SendAll(fd, c.trickled.substr(i, 1)) || peerClosed(fd);
            if (!dropped) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        close(fd);
        EXPECT_TRUE(dropped);
    }
    EXPECT_EQ(Get(port, "/db/" + image.linkToken + ".png")->status, 404);
    EXPECT_EQ(Post(port, image)->body, "OK");
}

TEST_F(HttpTest, RequestTimeOutCountsPerRequestNotPerConnection)
{
    const std::uint16_t port = Start({"--timeout", "10", "--request-timeout", "3"}).Port();
    const int fd = test::Connect(port);
    ASSERT_GE(fd, 0);
    // Five quick requests a second apart: the connection outlives the time-out, none of its
    // requests do.
    int answered = 0;
    for (int i = 0; i < 5; ++i) {
        if (!test::SendAll(fd, "GET /db/Version.Minimum HTTP/1.1\r\nHost: x\r\n\r\n")) break;
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        if (std::string_view(buffer, static_cast<std::size_t>(n)).starts_with("HTTP/1.1 200"))
            ++answered;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    close(fd);
    EXPECT_EQ(answered, 5);
}

int connectFrom(const char* source, std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void raiseOwnDescriptorLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(HttpTest, ThousandIdleConnectionsDoNotStopOthers)
{
    raiseOwnDescriptorLimit();
    const std::uint16_t port =
        Start({"--per-ip-connections", "0", "--max-connections", "2000", "--timeout", "600"})
            .Port();
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i) {
        const int fd = test::Connect(port);
        ASSERT_GE(fd, 0) << "connection " << i;
        if (i % 2 == 1) test::SendAll(fd, "GET /db/Version.Min"); // half a request line
        idle.push_back(fd);
    }
    const auto reply = Get(port, "/db/Version.Recommended");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->body, TARVO_VERSION);
    int closed = 0;
    for (const int fd : idle) {
        closed += peerClosed(fd) ? 1 : 0;
        close(fd);
    }
    EXPECT_EQ(closed, 0);
}

TEST_F(HttpTest, OneAddressCannotTakeEveryConnection)
{
    const std::uint16_t port = Start({"--per-ip-connections", "64"}).Port();
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        const int fd = test::Connect(port);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    // The 65th from the same address is closed unanswered, once the server has taken the 64
    // from its backlog: workers that accept at the same moment may both still see room, and a
    // loaded machine (sanitizers, tests beside this one) takes its time over the backlog.
    bool refused = false;
    for (int attempt = 0; attempt < 200 && !refused; ++attempt) {
        const int extra = test::Connect(port);
        ASSERT_GE(extra, 0);
        test::SendAll(extra, "GET /db/Version.Minimum HTTP/1.1\r\nHost: x\r\n"
                             "Connection: close\r\n\r\n");
        refused = test::ReadToEnd(extra).empty();
        close(extra);
        if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(refused);
    // ... while another address is served.
    const int other = connectFrom("127.0.0.2", port);
    ASSERT_GE(other, 0);
    ASSERT_TRUE(test::SendAll(other, "GET /db/Version.Minimum HTTP/1.1\r\nHost: x\r\n"
                                     "Connection: close\r\n\r\n"));
    const auto reply = test::ParseReply(test::ReadToEnd(other));
    close(other);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->body, "1.0.0");
    for (const int fd : idle)
        close(fd);
}

TEST_F(HttpTest, HundredParallelPostsOfHalfAMegabyte)
{
    const std::uint16_t port = Start({"--per-ip-connections", "0"}).Port();
    constexpr int kPosts = 100;
    std::vector<TestImage> images;
    for (int i = 0; i < kPosts; ++i)
        images.push_back(Remember(MakeTestImage(1000 + i, ImageKind::Jpeg, 524288)));
    std::vector<std::string> answers(kPosts);
    std::vector<std::thread> threads;
    for (int i = 0; i < kPosts; ++i)
        threads.emplace_back([&, i] {
            const auto reply = Post(port, images[i]);
            answers[i] = reply ? reply->body : "(no reply)";
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < kPosts; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(answers[i], "OK");
        const auto back = Get(port, "/db/" + images[i].linkToken + ".jpg");
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->Header("content-type"), "image/jpeg");
        EXPECT_TRUE(back->body == images[i].plain);
    }
}

TEST_F(HttpTest, KillNineLosesNothingThatWasAnsweredOk)
{
    ServerProcess& first = Start({"--per-ip-connections", "0"});
    const std::uint16_t port = first.Port();
    constexpr int kThreads = 8;
    std::atomic<int> okCount{0};
    std::atomic<bool> stop{false};
    std::atomic<int> posting{kThreads};
    std::mutex resultsLock;
    std::vector<TestImage> confirmed;
    std::vector<TestImage> unconfirmed;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (std::uint64_t n = 0; !stop.load(); ++n) {
                const TestImage image =
                    Remember(MakeTestImage(10000 + t * 100000 + n, ImageKind::Png,
                                           1000 + (n * 7919 + t * 104729) % 200000));
                const auto reply = Post(port, image);
                const bool ok = reply && reply->status == 200 && reply->body == "OK";
                const std::lock_guard<std::mutex> g(resultsLock);
                (ok ? confirmed : unconfirmed).push_back(image);
                if (!ok) break; // the server is gone
                okCount.fetch_add(1);
            }
            posting.fetch_sub(1);
        });
    // Until enough are confirmed, or every poster has given up (the test then fails below).
    while (okCount.load() < 150 && posting.load() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    first.Kill(); // posts are in flight on every thread
    stop = true;
    for (auto& t : threads)
        t.join();
    ASSERT_GE(confirmed.size(), 150u);

    const std::uint16_t again = Start({"--per-ip-connections", "0"}).Port();
    for (const TestImage& image : confirmed) {
        const auto back = Get(again, "/db/" + image.linkToken + ".png");
        ASSERT_TRUE(back.has_value());
        ASSERT_EQ(back->status, 200) << image.idToken.substr(0, 4);
        ASSERT_TRUE(back->body == image.plain);
    }
    // Those cut off in flight are either there whole or not there at all ...
    std::size_t present = confirmed.size();
    for (const TestImage& image : unconfirmed) {
        const auto back = Get(again, "/db/" + image.linkToken + ".png");
        ASSERT_TRUE(back.has_value());
        if (back->status == 200) {
            EXPECT_TRUE(back->body == image.plain);
            ++present;
        } else {
            EXPECT_EQ(back->status, 404);
        }
    }
    // ... and nothing else is stored.
    const test::CommandResult list = test::RunServerCommand({"list", "--data", data_.Path()});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(static_cast<std::size_t>(std::count(list.out.begin(), list.out.end(), '\n')),
              present);
}

} // namespace
} // namespace tarvo::server
