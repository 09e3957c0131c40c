#pragma once
// A web service stand-in on 127.0.0.1 with an ephemeral port, for the upload and the version
// check. It records every request and answers as the test says.
#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace tarvo::test {

struct RecordedRequest
{
    std::string method;
    std::string path;  // without the query, as sent (not decoded)
    std::string query; // what follows "?", as sent
    std::vector<std::pair<std::string, std::string>> headers; // as received, names as sent
    std::string body;

    // The value of the first header of that name (case-insensitive); empty when missing.
    std::string header(const std::string& name) const;
    bool hasHeader(const std::string& name) const;
};

struct CannedReply
{
    int status = 200;
    std::string body = "OK";
    std::chrono::milliseconds delay{0}; // before anything is sent
    // When not empty the body goes out in these pieces (chunked), chunkGap apart.
    std::vector<std::string> chunks;
    std::chrono::milliseconds chunkGap{0};
};

// A reply with this status and body, sent after the delay.
inline CannedReply Reply(int status, std::string body,
                         std::chrono::milliseconds delay = std::chrono::milliseconds(0))
{
    CannedReply r;
    r.status = status;
    r.body = std::move(body);
    r.delay = delay;
    return r;
}

// A loopback port that nobody listens on: one a server had, closed again.
int ClosedPort();

class HttpServer
{
public:
    using Handler = std::function<CannedReply(const RecordedRequest&)>;

    explicit HttpServer(Handler handler = nullptr); // null: "OK" to everything
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>/db/"
    QString baseUrl() const;

    void setHandler(Handler handler);
    void setReply(const CannedReply& reply);
    // Answers by the last path segment (e.g. "Version.Minimum"); 404 with no body otherwise.
    void setValues(const std::map<std::string, CannedReply>& byName);

    std::vector<RecordedRequest> requests() const;
    // Only those of one method: the posts of uploads, apart from the version check's asks.
    std::vector<RecordedRequest> requests(const std::string& method) const;
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout);

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
};

// After the request, what a hostile server sends: `head` at once, then `piece` up to `times`
// times, `gap` apart, then it hangs up.
struct Trickle
{
    std::string head;
    std::string piece;
    std::size_t times = 0;
    std::chrono::milliseconds gap{0};
};

// Accepts connections on 127.0.0.1, reads the request and closes without a word, or (given a
// trickle) answers as slowly as told.
class DroppingServer
{
public:
    DroppingServer();
    explicit DroppingServer(Trickle trickle);
    ~DroppingServer();
    DroppingServer(const DroppingServer&) = delete;
    DroppingServer& operator=(const DroppingServer&) = delete;

    int port() const { return port_; }
    QString baseUrl() const;
    int connections() const;

private:
    void run();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex lock_;
    int connections_ = 0;
    Trickle trickle_;
};

} // namespace tarvo::test
