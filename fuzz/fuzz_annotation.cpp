// The title escape: every well-formed title comes back from its escape; whatever the inverse
// accepts escapes to a text it reads back the same.
#include "check.h"
#include "protocol/annotation.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace tarvo::protocol;

namespace {

bool wellFormed(std::u16string_view s)
{
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The input both as escaped text and as UTF-16 units.
    const std::string_view escaped(reinterpret_cast<const char*>(data), size);
    if (const auto title = UnescapeAnnotation(escaped)) {
        FUZZ_CHECK(wellFormed(*title));
        FUZZ_CHECK(UnescapeAnnotation(EscapeAnnotation(*title)) == title);
        (void)ToUtf8(*title);
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        units += char16_t(data[i] | (data[i + 1] << 8));
    const std::string out = EscapeAnnotation(units);
    for (unsigned char c : out)
        FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '&' && c != '=' && c != '#' && c != '?');
    const auto back = UnescapeAnnotation(out);
    if (wellFormed(units)) {
        FUZZ_CHECK(back.has_value() && *back == units);
    } else {
        FUZZ_CHECK(!back.has_value());
    }
    return 0;
}
