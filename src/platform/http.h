#pragma once
// A small blocking HTTP client over libcurl for the worker threads: one request per call, no
// redirects, proxies as the environment names them (http_proxy, no_proxy, ...).
#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>

namespace tarvo::platform {

struct HttpTimeouts
{
    // Connecting (name look-up included) must finish within this.
    std::chrono::milliseconds connect{60000};
    // Once connected, a request that moves fewer than lowSpeedBytes (sent, header and body
    // bytes received, all counted) in any stall period fails: a server that sends its reply a
    // byte at a time cannot keep it going. Checked about once a second.
    std::chrono::milliseconds stall{30000};
    std::size_t lowSpeedBytes = 1024;
    // The whole request, connecting included, ends after this however it goes.
    std::chrono::milliseconds total{120000};
};

struct HttpRequest
{
    bool post = false;
    QString scheme = QStringLiteral("http");
    QString host;
    int port = 80;
    QByteArray target;         // path and query, sent as they are
    QList<QByteArray> headers; // "Name: value"; "Name:" removes a header libcurl would add
    QByteArray body;           // POST only; its length is announced with Content-Length
    // The reply body is read once into a buffer of this many bytes: the read ends when the
    // buffer is full or the body ends, and whatever else the server sends is not read.
    std::size_t replyLimit = 0;
    HttpTimeouts timeouts;
    // Polled while the request runs (about once a second while nothing moves); true abandons
    // the request with an HttpError.
    std::function<bool()> cancelled;
    // Called once, on the calling thread, when the response headers have arrived.
    std::function<void()> onResponse;
};

struct HttpReply
{
    long status = 0; // the HTTP status, 0 if none arrived
    QByteArray body; // at most replyLimit bytes
};

// A transport failure: no connection, a name that does not resolve, a time-out, a dropped
// connection. what() and message() give libcurl's description.
class HttpError : public std::exception
{
public:
    explicit HttpError(QString message, int code = 0)
        : message_(std::move(message)), utf8_(message_.toUtf8()), code_(code)
    {
    }
    const QString& message() const { return message_; }
    int code() const { return code_; }
    // The server was never reached: no connection, a name that does not resolve, a time-out.
    bool unreachable() const;
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
    int code_;
};

// Loads libcurl (which the first request otherwise does) on a worker of its own, so that a
// request expected soon, such as the upload of a capture that has begun, does not wait for it.
void PrepareHttp();

// false when the request could not be set up at all (no session, refused options); throws
// HttpError when the transfer fails.
bool HttpSend(const HttpRequest& request, HttpReply* reply);

} // namespace tarvo::platform
