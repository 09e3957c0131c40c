#pragma once
// The service's log: one line per event on stderr, "YYYY-MM-DD HH:MM:SS: text" in UTC. Links
// carry their key in the path, so callers never pass a path, a query or a whole token here.
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo::server {

// Control characters and DEL as "\xNN", a backslash as "\\"; everything else (UTF-8 included)
// as it is, so one entry stays one line.
std::string EscapeControl(std::string_view text);

// "YYYY-MM-DD HH:MM:SS" in UTC.
std::string FormatUtc(std::int64_t secondsSinceEpoch);

// Replaces every run of 11 or more characters of the token alphabet (letters, digits, "-",
// "_", "=") with "...": for text not written by this program (the HTTP library's messages),
// which might quote a request line.
std::string RedactTokens(std::string_view text);

// Writes one line, escaped, with one write(2) under a lock: lines from several threads never
// interleave.
void Log(std::string_view text);

} // namespace tarvo::server
