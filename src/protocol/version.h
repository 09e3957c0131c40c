#pragma once
// Version texts "major.minor.build", read the way C's "%i.%i.%i" reads them: blanks skipped,
// a sign, 0x for hex, a leading 0 for octal; a part that cannot be read is 0 and whatever
// follows the third is ignored. Out-of-range numbers saturate.
#include <array>
#include <string_view>

namespace tarvo::protocol {

using Version = std::array<int, 3>;

Version ReadVersion(std::u16string_view text);
Version ReadVersion(std::string_view text);

// True when a is older than b.
bool IsOlderVersion(std::u16string_view a, std::u16string_view b);

} // namespace tarvo::protocol
