#pragma once
// The identity of one posted image and the text forms it travels in. The client draws an
// 8-byte id and a 7-byte key; the server only ever sees the id. The link carries both, as the
// URL-safe Base64 of the 15 bytes id-then-key.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::protocol {

using ImageId = std::array<std::uint8_t, 8>;
using ImageKey = std::array<std::uint8_t, 7>;

constexpr std::size_t kIdTokenLength = 12;   // 8 bytes: 11 characters and one "="
constexpr std::size_t kLinkTokenLength = 20; // 15 bytes: no padding

// The largest input EncodeBase64 takes; the text would not fit a 32-bit length beyond it.
constexpr std::size_t kBase64InputLimit = 536870911;

// RFC 4648 Base64 with "=" padding and no line breaks. Inputs above kBase64InputLimit give
// std::nullopt.
std::optional<std::string> EncodeBase64(const void* bytes, std::size_t count);
// The same with the URL-safe alphabet ("-" for "+", "_" for "/"), padding kept.
std::optional<std::string> EncodeLinkToken(const void* bytes, std::size_t count);

// Strict inverse of EncodeLinkToken for the two lengths the protocol uses: exactly 12
// characters (8 bytes, one "=") or 20 (15 bytes, none), URL-safe alphabet only, and no stray
// bits in the last character. Anything else is std::nullopt.
std::optional<std::string> DecodeLinkToken(std::string_view text);

std::string IdToken(const ImageId& id);                        // 12 characters
std::string LinkToken(const ImageId& id, const ImageKey& key); // 20 characters

std::optional<ImageId> ParseIdToken(std::string_view text);

struct LinkParts
{
    ImageId id{};
    ImageKey key{};
};
std::optional<LinkParts> ParseLinkToken(std::string_view text);

} // namespace tarvo::protocol
