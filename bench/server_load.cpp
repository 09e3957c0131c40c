// Load client for tarvo-server, and for nginx as the reference it is compared with.
//
// One thread per client, each with one keep-alive connection and plain blocking sockets: the
// client's own cost stays small and predictable, so what is measured is the server. All
// bodies are prepared (and DES-encrypted) before the clock starts.
//
//   tarvo_server_load post   --url http://127.0.0.1:PORT/db/ [options]
//   tarvo_server_load serve  --url http://127.0.0.1:PORT/db/ [--png-only] [options]
//   tarvo_server_load static --url http://127.0.0.1:PORT/a [--url ...] [--method PUT] [options]
//
// Each run prints one readable line on stderr and one "RESULT key=value ..." line on stdout.
#include "protocol/annotation.h"
#include "protocol/cipher.h"
#include "protocol/token.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <latch>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace protocol = tarvo::protocol;

constexpr std::string_view kPngMagic{"\x89PNG\r\n\x1a\n", 8};

// ---------------------------------------------------------------------------------------
// Command line

enum class Mode
{
    Post,
    Serve,
    Static,
};

struct Target
{
    sockaddr_in address{};
    std::string hostHeader; // host:port as given
    std::string path;       // starts with "/"
};

struct Options
{
    Mode mode = Mode::Post;
    std::vector<Target> targets;
    unsigned clients = 1;
    double seconds = 5.0;
    double warmup = 1.0;
    std::size_t size = 524288; // plaintext bytes of one image
    unsigned images = 32;      // serve: images posted before the clock starts
    bool pngOnly = false;
    std::string method = "GET"; // static
    std::string label;
    std::string saveDir; // serve: where to write one page and its image, for nginx to serve
    std::vector<pid_t> serverPids; // processes (with their descendants) whose CPU is reported
};

const char kUsage[] =
    "usage: tarvo_server_load post|serve|static --url URL [options]\n"
    "  post    each client posts fresh encrypted images to URL (the service base, e.g.\n"
    "          http://127.0.0.1:8931/db/); only a reply of exactly OK counts\n"
    "  serve   posts --images images first, then each client GETs a page and its .png\n"
    "          (--png-only: the .png alone); every .png is compared with its plaintext\n"
    "  static  GETs each --url in turn (or sends --method PUT/POST with a --size body);\n"
    "          any 2xx counts; '{client}' in a URL becomes the client's number\n"
    "options: --clients N (1)  --seconds S (5)  --warmup S (1)  --size BYTES (524288)\n"
    "         --images N (32)  --png-only  --method GET|PUT|POST  --label TEXT\n"
    "         --save DIR (serve: write the first image's page.htp and image.png there)\n"
    "         --server-pid PID (repeatable: report the CPU of PID and its descendants)\n";

std::optional<Target> parseUrl(std::string_view url)
{
    constexpr std::string_view scheme = "http://";
    if (!url.starts_with(scheme)) return std::nullopt;
    url.remove_prefix(scheme.size());
    const std::size_t slash = url.find('/');
    const std::string_view hostPort = url.substr(0, slash);
    Target t;
    t.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
    const std::size_t colon = hostPort.rfind(':');
    std::string host(hostPort.substr(0, colon));
    unsigned port = 80;
    if (colon != std::string_view::npos) {
        const std::string_view p = hostPort.substr(colon + 1);
        const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), port);
        if (ec != std::errc() || end != p.data() + p.size() || port == 0 || port > 65535)
            return std::nullopt;
    }
    if (host == "localhost") host = "127.0.0.1";
    t.address.sin_family = AF_INET;
    t.address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &t.address.sin_addr) != 1) return std::nullopt;
    t.hostHeader = std::string(hostPort);
    return t;
}

template <typename T> bool readNumber(const char* text, T& out)
{
    const std::string_view s(text);
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    return ec == std::errc() && end == s.data() + s.size();
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    if (argc < 2) return std::nullopt;
    Options o;
    const std::string_view mode = argv[1];
    if (mode == "post")
        o.mode = Mode::Post;
    else if (mode == "serve")
        o.mode = Mode::Serve;
    else if (mode == "static")
        o.mode = Mode::Static;
    else
        return std::nullopt;

    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (arg == "--png-only") {
            o.pngOnly = true;
            continue;
        }
        if (arg == "--url" && ok) {
            auto t = parseUrl(value);
            ok = t.has_value();
            if (ok) o.targets.push_back(std::move(*t));
        } else if (arg == "--clients" && ok) {
            ok = readNumber(value, o.clients) && o.clients > 0 && o.clients <= 4096;
        } else if (arg == "--seconds" && ok) {
            ok = readNumber(value, o.seconds) && o.seconds > 0;
        } else if (arg == "--warmup" && ok) {
            ok = readNumber(value, o.warmup) && o.warmup >= 0;
        } else if (arg == "--size" && ok) {
            ok = readNumber(value, o.size) && o.size >= 64;
        } else if (arg == "--images" && ok) {
            ok = readNumber(value, o.images) && o.images > 0;
        } else if (arg == "--method" && ok) {
            o.method = value;
            ok = o.method == "GET" || o.method == "PUT" || o.method == "POST";
        } else if (arg == "--label" && ok) {
            o.label = value;
        } else if (arg == "--save" && ok) {
            o.saveDir = value;
        } else if (arg == "--server-pid" && ok) {
            pid_t pid = 0;
            ok = readNumber(value, pid) && pid > 0;
            o.serverPids.push_back(pid);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "bad option or value: %s\n", argv[i]);
            return std::nullopt;
        }
        ++i;
    }
    if (o.targets.empty()) return std::nullopt;
    if (o.mode != Mode::Static) {
        if (o.targets.size() != 1 || !o.targets[0].path.ends_with('/')) {
            std::fprintf(stderr, "post and serve take one --url, the service base ending in /\n");
            return std::nullopt;
        }
    }
    return o;
}

// ---------------------------------------------------------------------------------------
// Randomness: the system's source for keys and seeds, a fast generator for the rest.

void systemRandom(void* out, std::size_t n)
{
    auto* p = static_cast<std::uint8_t*>(out);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            std::perror("getrandom");
            std::exit(1);
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
}

std::mt19937_64 seededGenerator()
{
    std::uint64_t seed = 0;
    systemRandom(&seed, sizeof seed);
    return std::mt19937_64(seed);
}

// A PNG-looking plaintext: the magic bytes the server sniffs, then noise (which neither
// compresses nor dedupes anywhere on the way).
std::string makePlaintext(std::size_t size, std::mt19937_64& rng)
{
    std::string plain(size, '\0');
    std::memcpy(plain.data(), kPngMagic.data(), kPngMagic.size());
    for (std::size_t i = kPngMagic.size(); i < size; i += 8) {
        const std::uint64_t word = rng();
        std::memcpy(plain.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    return plain;
}

struct Image
{
    protocol::ImageId id{};
    protocol::ImageKey key{};
    std::string plain;
    std::string cipher;
};

Image makeImage(std::size_t size, std::mt19937_64& rng)
{
    Image image;
    systemRandom(image.id.data(), image.id.size());
    systemRandom(image.key.data(), image.key.size());
    image.plain = makePlaintext(size, rng);
    image.cipher = protocol::EncryptImage(image.key, image.plain);
    return image;
}

// ---------------------------------------------------------------------------------------
// HTTP/1.1 over one keep-alive connection

struct Response
{
    int status = 0;
    std::string contentType;
    std::string body;
};

class Connection
{
public:
    explicit Connection(const sockaddr_in& address) : address_(address) {}
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends the request and reads the whole response. False with a short reason when the
    // exchange failed on the wire; an HTTP error status is a true return.
    bool exchange(std::string_view head, std::string_view body, Response& out, std::string& error)
    {
        if (fd_ < 0 && !open(error)) return false;
        const bool sent = sendAll(head, body, error);
        // A server that refuses a body (413, 503) may answer and close before reading it
        // all: the answer, when there is one, says more than the broken pipe.
        const bool read = readResponse(out, sent ? error : scratch_);
        if (!read) close();
        return read;
    }

    void close()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }

    std::uint64_t connects() const { return connects_; }

private:
    bool open(std::string& error)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            error = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A stalled server shows up as an error instead of a hung run.
        const timeval limit{30, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0) {
            error = std::string("connect: ") + std::strerror(errno);
            close();
            return false;
        }
        ++connects_;
        return true;
    }

    bool sendAll(std::string_view head, std::string_view body, std::string& error)
    {
        iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                          {const_cast<char*>(body.data()), body.size()}};
        int first = 0;
        const int count = body.empty() ? 1 : 2;
        while (first < count) {
            msghdr msg{};
            msg.msg_iov = parts + first;
            msg.msg_iovlen = static_cast<std::size_t>(count - first);
            const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                error = std::string("send: ") + std::strerror(errno);
                return false;
            }
            auto left = static_cast<std::size_t>(n);
            while (first < count && left >= parts[first].iov_len) {
                left -= parts[first].iov_len;
                ++first;
            }
            if (first < count) {
                parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
                parts[first].iov_len -= left;
            }
        }
        return true;
    }

    // Appends what the socket has to buffer_; false at the end of the stream or on error.
    bool fill(std::string& error)
    {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n > 0) {
                buffer_.append(chunk, static_cast<std::size_t>(n));
                return true;
            }
            if (n < 0 && errno == EINTR) continue;
            error = n == 0 ? std::string("connection closed by server")
                           : std::string("recv: ") + std::strerror(errno);
            return false;
        }
    }

    bool readResponse(Response& out, std::string& error)
    {
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (buffer_.size() > 65536) {
                error = "response head too long";
                return false;
            }
            if (!fill(error)) return false;
        }
        const std::string_view head(buffer_.data(), headEnd);
        out = Response{};
        if (!head.starts_with("HTTP/1.") || head.size() < 12) {
            error = "not an HTTP response";
            return false;
        }
        (void)std::from_chars(head.data() + 9, head.data() + 12, out.status);

        std::optional<std::size_t> length;
        bool chunked = false;
        bool closeAfter = head.starts_with("HTTP/1.0");
        std::size_t pos = head.find("\r\n");
        while (pos != std::string_view::npos && pos < head.size()) {
            const std::size_t next = head.find("\r\n", pos + 2);
            const std::string_view line = head.substr(
                pos + 2, (next == std::string_view::npos ? head.size() : next) - pos - 2);
            pos = next;
            const std::size_t colon = line.find(':');
            if (colon == std::string_view::npos) continue;
            std::string name(line.substr(0, colon));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ')
                value.remove_prefix(1);
            if (name == "content-length") {
                std::size_t n = 0;
                (void)std::from_chars(value.data(), value.data() + value.size(), n);
                length = n;
            } else if (name == "transfer-encoding") {
                chunked = value.find("chunked") != std::string_view::npos;
            } else if (name == "connection") {
                if (value.find("close") != std::string_view::npos) closeAfter = true;
                if (value.find("keep-alive") != std::string_view::npos) closeAfter = false;
            } else if (name == "content-type") {
                out.contentType = std::string(value);
            }
        }
        buffer_.erase(0, headEnd + 4);

        if (chunked) {
            if (!readChunked(out.body, error)) return false;
        } else if (length) {
            // Straight into the body: the client shares the processors with the server, and
            // a second copy of every 512 KiB would be charged to the server's figures.
            out.body.resize(*length);
            std::size_t have = std::min(buffer_.size(), *length);
            std::memcpy(out.body.data(), buffer_.data(), have);
            buffer_.erase(0, have);
            while (have < *length) {
                const ssize_t n = ::recv(fd_, out.body.data() + have, *length - have, 0);
                if (n > 0) {
                    have += static_cast<std::size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else {
                    error = n == 0 ? std::string("connection closed by server")
                                   : std::string("recv: ") + std::strerror(errno);
                    return false;
                }
            }
        } else if (out.status != 204 && out.status != 304 && out.status >= 200) {
            std::string ignored;
            while (fill(ignored)) {
            }
            out.body = std::move(buffer_);
            closeAfter = true;
        }
        if (closeAfter) close();
        return true;
    }

    bool readChunked(std::string& body, std::string& error)
    {
        for (;;) {
            std::size_t lineEnd;
            while ((lineEnd = buffer_.find("\r\n")) == std::string::npos)
                if (!fill(error)) return false;
            std::size_t size = 0;
            const auto [end, ec] =
                std::from_chars(buffer_.data(), buffer_.data() + lineEnd, size, 16);
            if (ec != std::errc()) {
                error = "bad chunk size";
                return false;
            }
            (void)end;
            buffer_.erase(0, lineEnd + 2);
            if (size == 0) {
                // Trailers, if any, end with an empty line.
                std::size_t trailerEnd;
                while ((trailerEnd = buffer_.find("\r\n")) != 0) {
                    if (trailerEnd == std::string::npos) {
                        if (!fill(error)) return false;
                        continue;
                    }
                    buffer_.erase(0, trailerEnd + 2);
                }
                buffer_.erase(0, 2);
                return true;
            }
            while (buffer_.size() < size + 2)
                if (!fill(error)) return false;
            body.append(buffer_, 0, size);
            buffer_.erase(0, size + 2);
        }
    }

    sockaddr_in address_;
    int fd_ = -1;
    std::string buffer_;
    std::string scratch_;
    std::uint64_t connects_ = 0;
};

std::string requestHead(std::string_view method, const Target& t, std::string_view path,
                        std::size_t bodyLength, bool tarvoHeaders)
{
    std::string head;
    head.reserve(256);
    head.append(method).append(" ").append(path).append(" HTTP/1.1\r\nHost: ");
    head.append(t.hostHeader).append("\r\n");
    if (tarvoHeaders) {
        // What the tray client sends with an upload.
        head.append("User-Agent: Tarvo/bench\r\nContent-type: image/jpeg\r\n"
                    "Content-Transfer-Encoding: binary\r\n");
    } else {
        head.append("User-Agent: tarvo_server_load\r\n");
    }
    if (bodyLength > 0 || method != "GET")
        head.append("Content-Length: ").append(std::to_string(bodyLength)).append("\r\n");
    head.append("\r\n");
    return head;
}

std::string describe(const Response& r)
{
    std::string text = "status " + std::to_string(r.status);
    if (r.body.size() <= 40) {
        std::string shown;
        for (const char c : r.body)
            shown += (c >= 0x20 && c < 0x7f) ? c : '.';
        text += " \"" + shown + "\"";
    } else {
        text += " (" + std::to_string(r.body.size()) + " bytes)";
    }
    return text;
}

// ---------------------------------------------------------------------------------------
// Runs

struct Tally
{
    std::vector<std::int64_t> latencyNs; // one per counted iteration
    std::uint64_t ok = 0;
    std::uint64_t requests = 0; // HTTP requests inside the counted ones (page + png = 2)
    std::uint64_t errors = 0;
    std::uint64_t bytes = 0; // payload moved by counted iterations: bodies sent or received
    std::uint64_t connects = 0;
    std::map<std::string, std::uint64_t> errorKinds;
    Clock::time_point lastEnd{};
};

struct Window
{
    Clock::time_point countFrom;
    Clock::time_point stopAt;
};

// One counted unit of work: an upload, a page + image view, or a pass over the static URLs.
// Returns the payload bytes on success, or nullopt with the reason in error.
using Step = std::function<std::optional<std::uint64_t>(Connection&, std::string& error,
                                                        unsigned& requests)>;

void runClient(Connection& connection, const Step& step, const Window& w, Tally& tally)
{
    std::string error;
    for (;;) {
        const Clock::time_point begin = Clock::now();
        if (begin >= w.stopAt) break;
        unsigned requests = 0;
        error.clear();
        const auto bytes = step(connection, error, requests);
        const Clock::time_point end = Clock::now();
        if (begin < w.countFrom) {
            if (!bytes) connection.close();
            continue;
        }
        tally.lastEnd = std::max(tally.lastEnd, end);
        if (bytes) {
            ++tally.ok;
            tally.requests += requests;
            tally.bytes += *bytes;
            tally.latencyNs.push_back((end - begin).count());
        } else {
            ++tally.errors;
            ++tally.errorKinds[error];
            connection.close();
            // A refused connection fails at once; do not spin on it.
            if (error.starts_with("connect:"))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    tally.connects = connection.connects();
}

// A fresh upload per step: a new random id, and a ciphertext made distinct by flipping one
// block in the middle. In CBC that garbles two blocks of (random) plaintext and leaves the
// magic bytes and the padding valid, so it costs nothing and dedupes nowhere.
class Poster
{
public:
    Poster(const Options& o, unsigned clientIndex, std::mt19937_64& rng)
        : target_(o.targets[0]), image_(makeImage(o.size, rng)), rng_(rng)
    {
        annotation_ = protocol::EscapeAnnotation(
            u"bench client " + std::u16string(1, char16_t(u'A' + clientIndex % 26)));
        counter_ = std::uint64_t{clientIndex} << 40;
        std::memcpy(original_, image_.cipher.data() + kFlipAt, 8);
    }

    std::optional<std::uint64_t> operator()(Connection& c, std::string& error, unsigned& requests)
    {
        protocol::ImageId id{};
        const std::uint64_t r = rng_();
        std::memcpy(id.data(), &r, id.size());
        ++counter_;
        for (int i = 0; i < 8; ++i)
            image_.cipher[kFlipAt + i] =
                static_cast<char>(original_[i] ^ static_cast<std::uint8_t>(counter_ >> (8 * i)));

        const std::string path =
            target_.path + "Post?id=" + protocol::IdToken(id) + "&annotation=" + annotation_;
        const std::string head = requestHead("POST", target_, path, image_.cipher.size(), true);
        Response reply;
        requests = 1;
        if (!c.exchange(head, image_.cipher, reply, error)) return std::nullopt;
        if (reply.status != 200 || reply.body != "OK") {
            error = describe(reply);
            return std::nullopt;
        }
        return image_.cipher.size();
    }

private:
    static constexpr std::size_t kFlipAt = 32; // the fifth block; the magic is in the first
    const Target& target_;
    Image image_;
    std::mt19937_64& rng_;
    std::string annotation_;
    std::uint64_t counter_ = 0;
    std::uint8_t original_[8]{};
};

struct Posted
{
    std::string token; // 20-character link token
    std::string plain;
};

// Posts the images the serve run reads, over one connection that is closed afterwards.
std::optional<std::vector<Posted>> seedImages(const Options& o)
{
    auto rng = seededGenerator();
    const Target& t = o.targets[0];
    Connection c(t.address);
    std::vector<Posted> posted;
    for (unsigned i = 0; i < o.images; ++i) {
        Image image = makeImage(o.size, rng);
        const std::string path = t.path + "Post?id=" + protocol::IdToken(image.id) +
                                 "&annotation=" + protocol::EscapeAnnotation(u"bench seed");
        Response reply;
        std::string error;
        if (!c.exchange(requestHead("POST", t, path, image.cipher.size(), true), image.cipher,
                        reply, error)) {
            std::fprintf(stderr, "seeding failed: %s\n", error.c_str());
            return std::nullopt;
        }
        if (reply.status != 200 || reply.body != "OK") {
            std::fprintf(stderr, "seeding failed: %s\n", describe(reply).c_str());
            return std::nullopt;
        }
        posted.push_back({protocol::LinkToken(image.id, image.key), std::move(image.plain)});
    }
    if (!o.saveDir.empty()) {
        for (const char* ext : {".htp", ".png"}) {
            Response reply;
            std::string error;
            if (!c.exchange(requestHead("GET", t, t.path + posted[0].token + ext, 0, false), {},
                            reply, error) ||
                reply.status != 200) {
                std::fprintf(stderr, "fetching the sample %s failed: %s\n", ext,
                             error.empty() ? describe(reply).c_str() : error.c_str());
                return std::nullopt;
            }
            const std::string file = o.saveDir + (ext[1] == 'h' ? "/page.htp" : "/image.png");
            std::FILE* f = std::fopen(file.c_str(), "wb");
            if (f == nullptr ||
                std::fwrite(reply.body.data(), 1, reply.body.size(), f) != reply.body.size() ||
                std::fclose(f) != 0) {
                std::fprintf(stderr, "cannot write %s\n", file.c_str());
                return std::nullopt;
            }
        }
    }
    return posted;
}

// CPU seconds used so far by the given processes and everything below them (PostgreSQL's
// backends, nginx's workers). Children that already exited are not seen: the servers here
// keep theirs for the whole run.
double treeCpuSeconds(const std::vector<pid_t>& roots)
{
    if (roots.empty()) return 0.0;
    std::map<pid_t, std::pair<pid_t, long long>> procs; // pid -> (parent, ticks)
    if (DIR* dir = ::opendir("/proc")) {
        while (const dirent* e = ::readdir(dir)) {
            pid_t pid = 0;
            if (!readNumber(e->d_name, pid)) continue;
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
            std::FILE* f = std::fopen(path, "r");
            if (f == nullptr) continue;
            char line[1024];
            const bool got = std::fgets(line, sizeof line, f) != nullptr;
            std::fclose(f);
            if (!got) continue;
            // The command name may hold blanks and parentheses; the fields start after the last
            // ")".
            const char* rest = std::strrchr(line, ')');
            if (rest == nullptr) continue;
            char state = 0;
            int ppid = 0;
            unsigned long long utime = 0, stime = 0;
            if (std::sscanf(rest + 1, " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                            &state, &ppid, &utime, &stime) != 4)
                continue;
            procs[pid] = {ppid, static_cast<long long>(utime + stime)};
        }
        ::closedir(dir);
    }
    long long ticks = 0;
    for (const auto& [pid, info] : procs) {
        // Walk up to a root; the tree is shallow.
        for (pid_t at = pid; at > 1;) {
            if (std::find(roots.begin(), roots.end(), at) != roots.end()) {
                ticks += info.second;
                break;
            }
            const auto up = procs.find(at);
            if (up == procs.end()) break;
            at = up->second.first;
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentileMs(const std::vector<std::int64_t>& sorted, double p)
{
    if (sorted.empty()) return 0.0;
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1]) / 1e6;
}

int run(const Options& o)
{
    std::vector<Posted> images;
    if (o.mode == Mode::Serve) {
        auto seeded = seedImages(o);
        if (!seeded) return 1;
        images = std::move(*seeded);
    }

    std::vector<Tally> tallies(o.clients);
    Window window{};
    std::latch ready(o.clients + 1);
    std::latch go(1);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < o.clients; ++i) {
        threads.emplace_back([&, i] {
            auto rng = seededGenerator();
            Connection connection(o.targets[0].address);
            Step step;
            if (o.mode == Mode::Post) {
                // Each client's encryption happens here, before the start line.
                step = Poster(o, i, rng);
            } else if (o.mode == Mode::Serve) {
                std::size_t next = i % images.size();
                step = [&, next](Connection& c, std::string& error,
                                 unsigned& requests) mutable -> std::optional<std::uint64_t> {
                    const Posted& image = images[next];
                    next = (next + 1) % images.size();
                    const Target& t = o.targets[0];
                    std::uint64_t bytes = 0;
                    Response reply;
                    if (!o.pngOnly) {
                        ++requests;
                        if (!c.exchange(
                                requestHead("GET", t, t.path + image.token + ".htp", 0, false), {},
                                reply, error))
                            return std::nullopt;
                        if (reply.status != 200 ||
                            reply.contentType.find("text/html") == std::string::npos) {
                            error = "page: " + describe(reply);
                            return std::nullopt;
                        }
                        bytes += reply.body.size();
                    }
                    ++requests;
                    if (!c.exchange(requestHead("GET", t, t.path + image.token + ".png", 0, false),
                                    {}, reply, error))
                        return std::nullopt;
                    if (reply.status != 200) {
                        error = "image: " + describe(reply);
                        return std::nullopt;
                    }
                    if (reply.body != image.plain) {
                        error = "image: bytes differ from the plaintext";
                        return std::nullopt;
                    }
                    return bytes + reply.body.size();
                };
            } else {
                std::vector<std::string> paths;
                for (const Target& t : o.targets) {
                    std::string p = t.path;
                    if (const auto at = p.find("{client}"); at != std::string::npos)
                        p.replace(at, 8, std::to_string(i));
                    paths.push_back(std::move(p));
                }
                const std::string body =
                    o.method == "GET" ? std::string() : makePlaintext(o.size, rng);
                step = [&o, paths = std::move(paths),
                        body](Connection& c, std::string& error,
                              unsigned& requests) -> std::optional<std::uint64_t> {
                    std::uint64_t bytes = 0;
                    for (std::size_t k = 0; k < paths.size(); ++k) {
                        Response reply;
                        ++requests;
                        const auto head =
                            requestHead(o.method, o.targets[k], paths[k], body.size(), false);
                        if (!c.exchange(head, body, reply, error)) return std::nullopt;
                        if (reply.status < 200 || reply.status > 299) {
                            error = paths[k] + ": " + describe(reply);
                            return std::nullopt;
                        }
                        bytes += body.size() + reply.body.size();
                    }
                    return bytes;
                };
            }
            ready.arrive_and_wait();
            go.wait();
            runClient(connection, step, window, tallies[i]);
        });
    }
    ready.arrive_and_wait();
    const Clock::time_point start = Clock::now();
    window.countFrom = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(o.warmup));
    window.stopAt = window.countFrom + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(o.seconds));
    go.count_down();
    std::this_thread::sleep_until(window.countFrom);
    const double serverCpu0 = treeCpuSeconds(o.serverPids);
    const double selfCpu0 = selfCpuSeconds();
    const Clock::time_point cpuFrom = Clock::now();
    for (auto& t : threads)
        t.join();
    const double serverCpu = treeCpuSeconds(o.serverPids) - serverCpu0;
    const double selfCpu = selfCpuSeconds() - selfCpu0;
    const double cpuWall = std::chrono::duration<double>(Clock::now() - cpuFrom).count();

    Tally all;
    for (Tally& t : tallies) {
        all.ok += t.ok;
        all.requests += t.requests;
        all.errors += t.errors;
        all.bytes += t.bytes;
        all.connects += t.connects;
        all.lastEnd = std::max(all.lastEnd, t.lastEnd);
        all.latencyNs.insert(all.latencyNs.end(), t.latencyNs.begin(), t.latencyNs.end());
        for (const auto& [kind, n] : t.errorKinds)
            all.errorKinds[kind] += n;
    }
    std::sort(all.latencyNs.begin(), all.latencyNs.end());
    // The window closes when the last counted step ended, not at the nominal stop: the steps
    // still in flight at the stop are counted, so their time is too.
    const double elapsed = std::max(
        std::chrono::duration<double>(std::max(all.lastEnd, window.stopAt) - window.countFrom)
            .count(),
        1e-9);
    const double rate = static_cast<double>(all.ok) / elapsed;
    const double requestRate = static_cast<double>(all.requests) / elapsed;
    const double mbps = static_cast<double>(all.bytes) / elapsed / 1e6;
    const double p50 = percentileMs(all.latencyNs, 0.50);
    const double p99 = percentileMs(all.latencyNs, 0.99);
    const double max =
        all.latencyNs.empty() ? 0.0 : static_cast<double>(all.latencyNs.back()) / 1e6;

    const char* modeName = o.mode == Mode::Post    ? "post"
                           : o.mode == Mode::Serve ? (o.pngOnly ? "serve-png" : "serve")
                                                   : "static";
    const char* unit = o.mode == Mode::Post    ? "uploads/s"
                       : o.mode == Mode::Serve ? "views/s"
                                               : "passes/s";
    const std::string label = o.label.empty() ? std::string(modeName) : o.label;

    const double serverPct = 100.0 * serverCpu / cpuWall;
    const double clientPct = 100.0 * selfCpu / cpuWall;
    const double serverMsPerOp =
        all.ok > 0 ? 1000.0 * serverCpu / static_cast<double>(all.ok) : 0.0;

    std::fprintf(stderr,
                 "%-22s %3u clients %8.1f %-9s %7.1f req/s %7.1f MB/s  p50 %7.2f  p99 %7.2f  max "
                 "%7.2f ms  errors %llu",
                 label.c_str(), o.clients, rate, unit, requestRate, mbps, p50, p99, max,
                 static_cast<unsigned long long>(all.errors));
    if (!o.serverPids.empty())
        std::fprintf(stderr, "  server CPU %.0f%% (%.2f ms/op)", serverPct, serverMsPerOp);
    std::fprintf(stderr, "  client CPU %.0f%%\n", clientPct);
    for (const auto& [kind, n] : all.errorKinds)
        std::fprintf(stderr, "    %llu x %s\n", static_cast<unsigned long long>(n), kind.c_str());
    std::printf(
        "RESULT label=%s mode=%s clients=%u seconds=%.3f ok=%llu requests=%llu errors=%llu "
        "rate=%.2f req_rate=%.2f mbps=%.2f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f connects=%llu "
        "server_cpu_pct=%.1f server_cpu_ms_per_op=%.3f client_cpu_pct=%.1f\n",
        label.c_str(), modeName, o.clients, elapsed, static_cast<unsigned long long>(all.ok),
        static_cast<unsigned long long>(all.requests), static_cast<unsigned long long>(all.errors),
        rate, requestRate, mbps, p50, p99, max, static_cast<unsigned long long>(all.connects),
        o.serverPids.empty() ? 0.0 : serverPct, serverMsPerOp, clientPct);
    std::fflush(stdout);
    return all.ok > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return run(*options);
}
