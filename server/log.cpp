#include "server/log.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <unistd.h>

namespace tarvo::server {

namespace {

std::mutex gLogLock;

bool isTokenChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '=';
}

} // namespace

std::string EscapeControl(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u == 0x7f) {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatUtc(std::int64_t secondsSinceEpoch)
{
    const auto t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm tm{};
    if (gmtime_r(&t, &tm) == nullptr) return "(time out of range)";
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(text, n);
}

std::string RedactTokens(std::string_view text)
{
    constexpr std::size_t kShortestToken = 11; // an id token without its "="
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (!isTokenChar(text[i])) {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && isTokenChar(text[end]))
            ++end;
        if (end - i >= kShortestToken)
            out += "...";
        else
            out.append(text.substr(i, end - i));
        i = end;
    }
    return out;
}

void Log(std::string_view text)
{
    std::string line = FormatUtc(static_cast<std::int64_t>(std::time(nullptr)));
    line += ": ";
    line += EscapeControl(text);
    line += '\n';
    const std::lock_guard<std::mutex> g(gLogLock);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return; // nowhere to report a broken stderr
        done += static_cast<std::size_t>(n);
    }
}

} // namespace tarvo::server
