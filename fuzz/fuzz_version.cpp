// Version texts: both readers agree on ASCII, and "older" is a strict order.
#include "check.h"
#include "protocol/version.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace tarvo::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t half = size / 2;
    std::u16string a, b, whole;
    for (std::size_t i = 0; i < size; ++i) {
        (i < half ? a : b) += char16_t(data[i]);
        whole += char16_t(data[i]);
    }
    bool ascii = true;
    for (unsigned char c : text)
        ascii = ascii && c < 0x80;
    const Version v8 = ReadVersion(text);
    if (ascii) FUZZ_CHECK(ReadVersion(whole) == v8);
    FUZZ_CHECK(!(IsOlderVersion(a, b) && IsOlderVersion(b, a)));
    FUZZ_CHECK(!IsOlderVersion(a, a));
    return 0;
}
