#include "server/http_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tarvo::test {

namespace {

constexpr int kSocketTimeoutSeconds = 60;

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

} // namespace

std::string HttpReply::Header(const std::string& lowerName) const
{
    const auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

int Connect(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{kSocketTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string ReadToEnd(int fd)
{
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

std::optional<HttpReply> ParseReply(std::string_view raw)
{
    const std::size_t end = raw.find("\r\n\r\n");
    if (!raw.starts_with("HTTP/1.") || end == std::string_view::npos) return std::nullopt;
    HttpReply reply;
    reply.status = std::atoi(std::string(raw.substr(9, 3)).c_str());
    std::string_view lines = raw.substr(0, end);
    lines.remove_prefix(std::min(lines.size(), lines.find("\r\n")));
    while (!lines.empty()) {
        lines.remove_prefix(2);
        const std::string_view line = lines.substr(0, lines.find("\r\n"));
        lines.remove_prefix(line.size());
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        std::string_view value = line.substr(colon + 1);
        while (value.starts_with(' '))
            value.remove_prefix(1);
        reply.headers[lower(line.substr(0, colon))] = std::string(value);
    }
    reply.body = std::string(raw.substr(end + 4));
    return reply;
}

std::optional<HttpReply> Send(std::uint16_t port, std::string_view method, std::string_view target,
                              std::string_view body, const std::vector<std::string>& headers)
{
    const int fd = Connect(port);
    if (fd < 0) return std::nullopt;
    std::string request = std::string(method) + " " + std::string(target) +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (const auto& h : headers)
        request += h + "\r\n";
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n";
    request += body;
    std::optional<HttpReply> reply;
    if (SendAll(fd, request)) reply = ParseReply(ReadToEnd(fd));
    close(fd);
    return reply;
}

std::optional<HttpReply> PostImage(std::uint16_t port, std::string_view idToken,
                                   std::string_view escapedTitle, std::string_view cipher)
{
    const std::string target =
        "/db/Post?id=" + std::string(idToken) + "&annotation=" + std::string(escapedTitle);
    return Send(port, "POST", target, cipher,
                {"User-Agent: Tarvo/1.6.131", "Content-type: image/jpeg",
                 "Content-Transfer-Encoding: binary"});
}

} // namespace tarvo::test
