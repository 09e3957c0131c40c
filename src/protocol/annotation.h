#pragma once
// The query-string form of an image's title. Per UTF-16 unit: ASCII letters and digits stay,
// a blank becomes "+", other units below 0x100 "%xx", the rest "%uxxxx" (lowercase hex on the
// way out, either case accepted on the way in).
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::protocol {

std::string EscapeAnnotation(std::u16string_view text);

// The inverse. A "%" not followed by two hex digits or "u" and four, or a lone surrogate
// (a high one not followed by a low one, or a low one alone), gives std::nullopt. Other bytes
// below 0x80 pass unchanged; bytes from 0x80 up are not the client's and are refused.
std::optional<std::u16string> UnescapeAnnotation(std::string_view escaped);

// UTF-16 to UTF-8 for display and storage; input here is always well formed.
std::string ToUtf8(std::u16string_view text);

} // namespace tarvo::protocol
