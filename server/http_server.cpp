#include "server/http_server.h"

#include "server/handlers.h"
#include "server/log.h"
#include "server/routes.h"

#include <arpa/inet.h>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <microhttpd.h>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace tarvo::server {

namespace {

using Clock = std::chrono::steady_clock;

// Headers and the request line live in this per-connection pool; the client's are well under
// 1 KiB (a 63-character title escapes to at most 378 bytes), so 32 KiB leaves ample room for
// other clients and keeps 512 connections within 16 MiB.
constexpr std::size_t kConnectionMemory = std::size_t{32} * 1024;
// How often connections are checked against the request time-out.
constexpr auto kReaperPeriod = std::chrono::seconds(1);

// Every method the log names; anything else is "other", so a client cannot write into the log.
const char* methodLogName(std::string_view method)
{
    for (const char* known :
         {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "CONNECT"})
        if (method == known) return known;
    return "other";
}

const char* terminationText(MHD_RequestTerminationCode code)
{
    switch (code) {
    case MHD_REQUEST_TERMINATED_COMPLETED_OK:
        return nullptr;
    case MHD_REQUEST_TERMINATED_WITH_ERROR:
        return "failed";
    case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
        return "timed out";
    case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
        return "shut down";
    case MHD_REQUEST_TERMINATED_READ_ERROR:
        return "read error";
    case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
        return "client went away";
    }
    return "ended";
}

std::optional<std::uint64_t> readLength(const char* text)
{
    if (text == nullptr) return std::nullopt;
    const std::string_view s(text);
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return n;
}

struct RequestState
{
    Clock::time_point start = Clock::now();
    std::string uri; // as received; never logged
    std::string method;
    bool started = false;            // the access handler has seen the headers
    bool responded = false;          // a response is queued
    std::optional<Response> refusal; // a body over a limit: discarded, this answers its end
    std::size_t discarded = 0;
    std::string body;
    std::size_t reserved = 0; // bytes counted against Config::uploadMemory
    // For the log line.
    Target target = Target::Unknown;
    unsigned status = 0;
    std::size_t received = 0;
    std::size_t sent = 0;
    std::string idPrefix;
};

struct ConnectionSlot
{
    int fd = -1;
    Clock::time_point deadline;
    bool dropped = false;
};

} // namespace

struct HttpServer::Impl
{
    Config config;
    Storage& storage;
    MHD_Daemon* daemon = nullptr;
    bool ipv6 = false;

    std::atomic<std::size_t> uploadBytes{0};
    std::atomic<int> inFlight{0};

    std::mutex connectionsLock;
    std::unordered_map<MHD_Connection*, ConnectionSlot> connections;

    std::mutex reaperLock;
    std::condition_variable reaperWake;
    bool stopping = false;
    std::thread reaper;
    bool stopped = false;

    Impl(const Config& c, Storage& s) : config(c), storage(s) {}

    Clock::duration requestTimeout() const { return std::chrono::seconds(config.requestTimeout); }

    bool reserveUpload(RequestState& rs, std::size_t bytes)
    {
        const std::size_t before = uploadBytes.fetch_add(bytes);
        if (before + bytes > config.uploadMemory) {
            uploadBytes.fetch_sub(bytes);
            return false;
        }
        rs.reserved += bytes;
        return true;
    }

    MHD_Result send(MHD_Connection* connection, RequestState& rs, Response r, bool close)
    {
        rs.responded = true;
        rs.status = r.status;
        rs.sent = r.body.size();
        rs.idPrefix = std::move(r.idPrefix);
        auto* body = new std::string(std::move(r.body));
        MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), body->data(), [](void* p) { delete static_cast<std::string*>(p); }, body);
        if (response == nullptr) {
            delete body;
            return MHD_NO;
        }
        for (const auto& [name, value] : r.headers)
            MHD_add_response_header(response, name.c_str(), value.c_str());
        // Unread body bytes would be taken for the next request: never keep such a connection.
        if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued = MHD_queue_response(connection, r.status, response);
        MHD_destroy_response(response);
        return queued;
    }

    MHD_Result access(MHD_Connection* connection, const char* method, const char* data,
                      std::size_t* size, RequestState& rs)
    {
        if (!rs.started) return begin(connection, method, rs);
        if (*size != 0) {
            const std::size_t n = *size;
            *size = 0;
            rs.received += n;
            if (rs.responded) return MHD_YES;
            return takeBody(data, n, rs);
        }
        if (rs.responded) return MHD_YES;
        if (rs.refusal) return send(connection, rs, std::move(*rs.refusal), true);
        return respond(connection, rs, false);
    }

    MHD_Result respond(MHD_Connection* connection, RequestState& rs, bool close)
    {
        Request request{rs.method, rs.uri, std::move(rs.body)};
        std::string().swap(rs.body);
        try {
            return send(connection, rs, HandleRequest(std::move(request), storage, config), close);
        } catch (const std::exception& e) {
            Log(std::string("request failed: ") + RedactTokens(e.what()));
            return send(connection, rs, TextResponse(500, "internal error"), true);
        }
    }

    MHD_Result begin(MHD_Connection* connection, const char* method, RequestState& rs)
    {
        rs.started = true;
        rs.method = method;
        const RequestTarget target = SplitRequestTarget(rs.uri);
        rs.target = ParseRoute(target.path, config.basePath).target;
        const auto length = readLength(MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                                   MHD_HTTP_HEADER_CONTENT_LENGTH));
        const bool chunked =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                        MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        const bool bodyFollows = chunked || (length && *length > 0);

        // An answer queued now ends the connection after it (the library will not read past
        // an unread body), so it is only for requests refused before their body; everything
        // else is answered on the next call, keeping the connection open.
        if (!ReadsBody(rs.method, rs.target)) {
            if (!bodyFollows) return MHD_YES;
            return respond(connection, rs, true);
        }
        if (auto refused = CheckPostHead(target.query, length, config))
            return send(connection, rs, std::move(*refused), bodyFollows);
        if (length) {
            // Announced and within the limit: counted and allocated once, up front.
            if (!reserveUpload(rs, static_cast<std::size_t>(*length)))
                return send(connection, rs, busy(), bodyFollows);
            rs.body.reserve(static_cast<std::size_t>(*length));
        }
        return MHD_YES; // the body follows (after "100 Continue" if the client asked)
    }

    // The library cannot queue an answer while a body is still coming in, so a body that
    // outgrows a limit is dropped as it arrives and answered when it ends; one that goes on
    // for another full limit past it is cut off instead.
    MHD_Result takeBody(const char* data, std::size_t n, RequestState& rs)
    {
        if (rs.refusal) {
            rs.discarded += n;
            return rs.discarded > config.maxBody ? MHD_NO : MHD_YES;
        }
        if (rs.body.size() + n > config.maxBody) {
            rs.refusal = TextResponse(413, "too large");
            rs.discarded = rs.body.size() + n;
            std::string().swap(rs.body);
            return MHD_YES;
        }
        if (rs.body.size() + n > rs.reserved &&
            !reserveUpload(rs, rs.body.size() + n - rs.reserved)) {
            rs.refusal = busy();
            rs.discarded = rs.body.size() + n;
            std::string().swap(rs.body);
            return MHD_YES;
        }
        rs.body.append(data, n);
        return MHD_YES;
    }

    static Response busy()
    {
        Response r = TextResponse(503, "busy");
        r.headers.emplace_back("Retry-After", "5");
        return r;
    }

    void completed(MHD_Connection* connection, RequestState* rs, MHD_RequestTerminationCode toe)
    {
        {
            const std::lock_guard<std::mutex> g(connectionsLock);
            if (auto it = connections.find(connection); it != connections.end())
                it->second.deadline = Clock::now() + requestTimeout();
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - rs->start);
        std::string line = rs->started ? methodLogName(rs->method) : "-";
        line += ' ';
        line += RouteLogName(rs->target);
        line += ' ';
        line += rs->responded ? std::to_string(rs->status) : std::string("-");
        line += " in=" + std::to_string(rs->received) + " out=" + std::to_string(rs->sent) + " " +
                std::to_string(ms.count()) + "ms";
        if (!rs->idPrefix.empty()) line += " id=" + rs->idPrefix;
        if (const char* why = terminationText(toe)) line += std::string(" (") + why + ")";
        Log(line);
        uploadBytes.fetch_sub(rs->reserved);
        inFlight.fetch_sub(1);
        delete rs;
    }

    void connectionEvent(MHD_Connection* connection, MHD_ConnectionNotificationCode code)
    {
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            const std::lock_guard<std::mutex> g(connectionsLock);
            connections[connection] = {info != nullptr ? info->connect_fd : -1,
                                       Clock::now() + requestTimeout(), false};
        } else {
            // The library closes the socket only after this returns, so the reaper, holding
            // the same lock, never shuts down a descriptor that was reused.
            const std::lock_guard<std::mutex> g(connectionsLock);
            connections.erase(connection);
        }
    }

    // The idle time-out restarts with every byte, so a client trickling one a second would
    // hold its connection for ever: past its deadline the socket is shut down, which the
    // library sees as the client closing.
    void reap()
    {
        std::unique_lock<std::mutex> lock(reaperLock);
        while (!stopping) {
            reaperWake.wait_for(lock, kReaperPeriod);
            if (stopping) break;
            int dropped = 0;
            {
                const auto now = Clock::now();
                const std::lock_guard<std::mutex> g(connectionsLock);
                for (auto& [connection, slot] : connections) {
                    if (slot.dropped || slot.fd < 0 || now < slot.deadline) continue;
                    ::shutdown(slot.fd, SHUT_RDWR);
                    slot.dropped = true;
                    ++dropped;
                }
            }
            if (dropped > 0)
                Log("dropped " + std::to_string(dropped) +
                    " connection(s) past the request time-out");
        }
    }
};

namespace {

MHD_Result onAccess(void* cls, MHD_Connection* connection, const char*, const char* method,
                    const char*, const char* data, std::size_t* size, void** context)
{
    auto* self = static_cast<HttpServer::Impl*>(cls);
    auto* rs = static_cast<RequestState*>(*context);
    if (rs == nullptr) return MHD_NO; // every request gets its state from onUri
    return self->access(connection, method, data, size, *rs);
}

void* onUri(void* cls, const char* uri, MHD_Connection*)
{
    auto* self = static_cast<HttpServer::Impl*>(cls);
    auto* rs = new RequestState;
    rs->uri = uri != nullptr ? uri : "";
    self->inFlight.fetch_add(1);
    return rs;
}

void onCompleted(void* cls, MHD_Connection* connection, void** context,
                 MHD_RequestTerminationCode toe)
{
    auto* rs = static_cast<RequestState*>(*context);
    if (rs == nullptr) return;
    *context = nullptr;
    static_cast<HttpServer::Impl*>(cls)->completed(connection, rs, toe);
}

void onConnection(void* cls, MHD_Connection* connection, void**,
                  MHD_ConnectionNotificationCode code)
{
    static_cast<HttpServer::Impl*>(cls)->connectionEvent(connection, code);
}

// The library's own messages may quote a request; tokens are cut out before they are logged.
void onLibraryMessage(void*, const char* format, va_list args)
{
    char text[512];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n <= 0) return;
    std::string_view message(text,
                             std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.remove_suffix(1);
    Log("http: " + RedactTokens(message));
}

} // namespace

HttpServer::HttpServer(const Config& config, Storage& storage)
    : impl_(std::make_unique<Impl>(config, storage))
{
    Impl& s = *impl_;
    sockaddr_in a4{};
    sockaddr_in6 a6{};
    const sockaddr* address = nullptr;
    if (inet_pton(AF_INET, config.listenAddress.c_str(), &a4.sin_addr) == 1) {
        a4.sin_family = AF_INET;
        a4.sin_port = htons(config.listenPort);
        address = reinterpret_cast<const sockaddr*>(&a4);
    } else if (inet_pton(AF_INET6, config.listenAddress.c_str(), &a6.sin6_addr) == 1) {
        a6.sin6_family = AF_INET6;
        a6.sin6_port = htons(config.listenPort);
        address = reinterpret_cast<const sockaddr*>(&a6);
        s.ipv6 = true;
    } else {
        throw std::runtime_error("not a numeric address: " + config.listenAddress);
    }

    const unsigned threads =
        config.threads != 0 ? config.threads : std::max(4u, std::thread::hardware_concurrency());
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (s.ipv6) flags |= MHD_USE_IPv6;
    // One option and its arguments to a line.
    // clang-format off
    s.daemon = MHD_start_daemon(
        flags, config.listenPort, nullptr, nullptr, &onAccess, &s,
        // First, or messages about the options that follow go to the library's own logger.
        MHD_OPTION_EXTERNAL_LOGGER, &onLibraryMessage, &s,
        MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_THREAD_POOL_SIZE, threads,
        MHD_OPTION_CONNECTION_LIMIT, config.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, config.perIpConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, config.idleTimeout,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_URI_LOG_CALLBACK, &onUri, &s,
        MHD_OPTION_NOTIFY_COMPLETED, &onCompleted, &s,
        MHD_OPTION_NOTIFY_CONNECTION, &onConnection, &s,
        MHD_OPTION_END);
    // clang-format on
    if (s.daemon == nullptr)
        throw std::runtime_error("cannot listen on " + config.listenAddress + ":" +
                                 std::to_string(config.listenPort));
    s.reaper = std::thread([&s] { s.reap(); });
}

HttpServer::~HttpServer()
{
    Stop(std::chrono::milliseconds(0));
}

std::string HttpServer::BoundAddress() const
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(impl_->daemon, MHD_DAEMON_INFO_BIND_PORT);
    const unsigned port = info != nullptr ? info->port : impl_->config.listenPort;
    const std::string host =
        impl_->ipv6 ? "[" + impl_->config.listenAddress + "]" : impl_->config.listenAddress;
    return host + ":" + std::to_string(port);
}

void HttpServer::Stop(std::chrono::milliseconds grace)
{
    Impl& s = *impl_;
    if (s.stopped) return;
    s.stopped = true;
    const MHD_socket listener = MHD_quiesce_daemon(s.daemon);
    if (listener != MHD_INVALID_SOCKET) ::close(listener);
    const auto until = Clock::now() + grace;
    while (s.inFlight.load() > 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    MHD_stop_daemon(s.daemon);
    s.daemon = nullptr;
    {
        const std::lock_guard<std::mutex> g(s.reaperLock);
        s.stopping = true;
    }
    s.reaperWake.notify_all();
    s.reaper.join();
}

} // namespace tarvo::server
