#include "support/http_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvo::test {

namespace {

bool sameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

RecordedRequest record(const httplib::Request& req)
{
    RecordedRequest r;
    r.method = req.method;
    const auto q = req.target.find('?');
    r.path = req.target.substr(0, q);
    if (q != std::string::npos) r.query = req.target.substr(q + 1);
    for (const auto& [name, value] : req.headers) {
        // The library files the peer's and its own address among the headers.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT")
            continue;
        r.headers.emplace_back(name, value);
    }
    r.body = req.body;
    return r;
}

std::string lastSegment(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string RecordedRequest::header(const std::string& name) const
{
    for (const auto& [n, v] : headers)
        if (sameName(n, name)) return v;
    return {};
}

bool RecordedRequest::hasHeader(const std::string& name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return sameName(h.first, name); });
}

HttpServer::HttpServer(Handler handler)
    : server_(std::make_unique<httplib::Server>()), handler_(std::move(handler))
{
    const auto serve = [this](const httplib::Request& req, httplib::Response& res) {
        const RecordedRequest r = record(req);
        Handler h;
        {
            const std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(r);
            h = handler_;
        }
        changed_.notify_all();
        const CannedReply reply = h ? h(r) : CannedReply{};
        if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
        res.status = reply.status;
        if (reply.chunks.empty()) {
            res.set_content(reply.body, "text/plain");
            return;
        }
        auto chunks = std::make_shared<std::vector<std::string>>(reply.chunks);
        const auto gap = reply.chunkGap;
        res.set_chunked_content_provider(
            "text/plain",
            [chunks, gap, next = std::size_t(0)](std::size_t, httplib::DataSink& sink) mutable {
                if (next > 0 && gap.count() > 0) std::this_thread::sleep_for(gap);
                if (next == chunks->size()) {
                    sink.done();
                    return true;
                }
                const std::string& piece = (*chunks)[next++];
                return sink.write(piece.data(), piece.size());
            });
    };
    server_->Get(".*", serve);
    server_->Post(".*", serve);
    port_ = server_->bind_to_any_port("127.0.0.1");
    // The socket listens already: connections queue until the loop below takes them.
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // stop() does nothing to a server whose loop has not started yet.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServer::~HttpServer()
{
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

QString HttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/db/").arg(port_);
}

void HttpServer::setHandler(Handler handler)
{
    const std::lock_guard<std::mutex> g(lock_);
    handler_ = std::move(handler);
}

void HttpServer::setReply(const CannedReply& reply)
{
    setHandler([reply](const RecordedRequest&) { return reply; });
}

void HttpServer::setValues(const std::map<std::string, CannedReply>& byName)
{
    setHandler([byName](const RecordedRequest& r) {
        const auto it = byName.find(lastSegment(r.path));
        if (it != byName.end()) return it->second;
        CannedReply missing;
        missing.status = 404;
        missing.body.clear();
        return missing;
    });
}

std::vector<RecordedRequest> HttpServer::requests() const
{
    const std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

std::vector<RecordedRequest> HttpServer::requests(const std::string& method) const
{
    std::vector<RecordedRequest> out;
    for (const RecordedRequest& r : requests())
        if (r.method == method) out.push_back(r);
    return out;
}

bool HttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, timeout, [&] { return requests_.size() >= count; });
}

DroppingServer::DroppingServer() : DroppingServer(Trickle{}) {}

DroppingServer::DroppingServer(Trickle trickle) : trickle_(std::move(trickle))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0)
        return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

DroppingServer::~DroppingServer()
{
    if (wake_[1] >= 0) (void)::write(wake_[1], "x", 1);
    if (thread_.joinable()) thread_.join();
    for (int fd : {listener_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

QString DroppingServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/db/").arg(port_);
}

int DroppingServer::connections() const
{
    const std::lock_guard<std::mutex> g(lock_);
    return connections_;
}

void DroppingServer::run()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        const int conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) continue;
        {
            const std::lock_guard<std::mutex> g(lock_);
            ++connections_;
        }
        // Take in the request (headers and announced body) so the client is not cut off
        // while still sending, then hang up without a reply.
        std::string in;
        char buf[4096];
        std::size_t need = std::string::npos;
        for (;;) {
            pollfd p{conn, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            const ssize_t got = ::read(conn, buf, sizeof buf);
            if (got <= 0) break;
            in.append(buf, static_cast<std::size_t>(got));
            const auto end = in.find("\r\n\r\n");
            if (end != std::string::npos && need == std::string::npos) {
                std::size_t length = 0;
                std::string lower = in.substr(0, end);
                std::transform(lower.begin(), lower.end(), lower.begin(),
                               [](unsigned char c) { return char(std::tolower(c)); });
                const auto at = lower.find("content-length:");
                if (at != std::string::npos) length = std::stoul(lower.substr(at + 15));
                need = end + 4 + length;
            }
            if (need != std::string::npos && in.size() >= need) break;
        }
        auto say = [conn](const std::string& text) {
            return text.empty() ||
                   ::send(conn, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
        };
        bool open = say(trickle_.head);
        for (std::size_t i = 0; open && i < trickle_.times; ++i) {
            pollfd w{wake_[0], POLLIN, 0};
            if (::poll(&w, 1, int(trickle_.gap.count())) != 0) break; // the server is going
            open = say(trickle_.piece);
        }
        ::close(conn);
    }
}

int ClosedPort()
{
    HttpServer gone;
    return gone.port();
}

} // namespace tarvo::test
