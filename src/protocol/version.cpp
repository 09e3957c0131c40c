#include "protocol/version.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace tarvo::protocol {

namespace {

// Reads a text the way scanf's "%i" conversions do, one character type or the other.
template <typename Char> class Scanner
{
public:
    explicit Scanner(std::basic_string_view<Char> s) : s_(s) {}

    bool literal(char c)
    {
        if (at(i_) != char32_t(c)) return false;
        ++i_;
        return true;
    }

    // One "%i" conversion; false on a matching failure (no digits), leaving out untouched.
    bool integer(int& out)
    {
        while (isBlank(at(i_)))
            ++i_;
        std::size_t j = i_;
        bool negative = false;
        if (at(j) == U'+' || at(j) == U'-') negative = at(j++) == U'-';
        int base = 10;
        if (at(j) == U'0') {
            if ((at(j + 1) == U'x' || at(j + 1) == U'X') && digit(at(j + 2), 16) >= 0) {
                base = 16;
                j += 2;
            } else {
                base = 8;
            }
        }
        std::int64_t value = 0;
        const std::size_t first = j;
        for (int d; (d = digit(at(j), base)) >= 0; ++j)
            value = std::min<std::int64_t>(value * base + d, std::int64_t(INT_MAX) + 1);
        if (j == first) return false;
        i_ = j;
        // Out-of-range numbers saturate rather than wrap.
        value = negative ? -value : value;
        out = static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
        return true;
    }

private:
    char32_t at(std::size_t k) const
    {
        return k < s_.size() ? char32_t(static_cast<std::make_unsigned_t<Char>>(s_[k])) : U'\0';
    }
    static bool isBlank(char32_t c)
    {
        return c == U' ' || c == U'\t' || c == U'\n' || c == U'\v' || c == U'\f' || c == U'\r';
    }
    static int digit(char32_t c, int base)
    {
        int d = -1;
        if (c >= U'0' && c <= U'9')
            d = int(c - U'0');
        else if (c >= U'a' && c <= U'f')
            d = int(c - U'a') + 10;
        else if (c >= U'A' && c <= U'F')
            d = int(c - U'A') + 10;
        return d < base ? d : -1;
    }

    std::basic_string_view<Char> s_;
    std::size_t i_ = 0;
};

template <typename Char> Version read(std::basic_string_view<Char> text)
{
    Version v{0, 0, 0};
    Scanner<Char> s(text);
    for (std::size_t k = 0; k < v.size(); ++k) {
        if (k > 0 && !s.literal('.')) break;
        if (!s.integer(v[k])) break;
    }
    return v;
}

} // namespace

Version ReadVersion(std::u16string_view text)
{
    return read(text);
}

Version ReadVersion(std::string_view text)
{
    return read(text);
}

bool IsOlderVersion(std::u16string_view a, std::u16string_view b)
{
    return ReadVersion(a) < ReadVersion(b);
}

} // namespace tarvo::protocol
