// Base64 and the link tokens both ways: against a plain reference encoder, and the strict
// decoder as the exact inverse of the encoder.
#include "check.h"
#include "protocol/token.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using namespace tarvo::protocol;

namespace {

std::string reference(const std::uint8_t* p, std::size_t n, const char* alphabet)
{
    std::string out;
    for (std::size_t i = 0; i < n; i += 3) {
        const std::uint32_t v = (std::uint32_t(p[i]) << 16) |
                                (i + 1 < n ? std::uint32_t(p[i + 1]) << 8 : 0) |
                                (i + 2 < n ? std::uint32_t(p[i + 2]) : 0);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? alphabet[v & 63] : '=';
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto plain = EncodeBase64(data, size);
    const auto link = EncodeLinkToken(data, size);
    FUZZ_CHECK(plain && link);
    FUZZ_CHECK(*plain == reference(data, size,
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789+/"));
    FUZZ_CHECK(*link == reference(data, size,
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789-_"));

    // Encoded ids and links decode to their bytes.
    if (size >= 15) {
        ImageId id{};
        ImageKey key{};
        std::memcpy(id.data(), data, 8);
        std::memcpy(key.data(), data + 8, 7);
        const auto parsedId = ParseIdToken(IdToken(id));
        FUZZ_CHECK(parsedId && *parsedId == id);
        const auto parts = ParseLinkToken(LinkToken(id, key));
        FUZZ_CHECK(parts && parts->id == id && parts->key == key);
    }

    // Any text the strict decoder accepts is exactly the encoding of what it gave.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto bytes = DecodeLinkToken(text)) {
        FUZZ_CHECK(bytes->size() == 8 || bytes->size() == 15);
        FUZZ_CHECK(EncodeLinkToken(bytes->data(), bytes->size()) == std::string(text));
    }
    if (const auto id = ParseIdToken(text)) FUZZ_CHECK(IdToken(*id) == text);
    if (const auto parts = ParseLinkToken(text))
        FUZZ_CHECK(LinkToken(parts->id, parts->key) == text);
    return 0;
}
