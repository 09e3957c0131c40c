#pragma once
// A small printf-style formatter for the program's wide texts. It understands the conversions
// the program uses (%s %i %d %u %x %X %c %%, with flags, width and ignored length modifiers);
// arguments are type-checked at the call, not trusted to match the format.
#include <QString>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace tarvo {

class FormatArg
{
public:
    enum class Kind
    {
        Text,
        Signed,
        Unsigned
    };

    FormatArg(const QString& s) : kind_(Kind::Text), text_(s) {}
    FormatArg(QStringView s) : kind_(Kind::Text), text_(s.toString()) {}
    FormatArg(const char16_t* s) : kind_(Kind::Text), text_(s ? QString::fromUtf16(s) : QString())
    {
    }
    FormatArg(const char* s) : kind_(Kind::Text), text_(s ? QString::fromUtf8(s) : QString()) {}
    template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0> FormatArg(T v)
    {
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            s_ = v;
        } else {
            kind_ = Kind::Unsigned;
            u_ = v;
        }
    }

    Kind kind() const { return kind_; }
    const QString& text() const { return text_; }
    std::int64_t asSigned() const { return kind_ == Kind::Unsigned ? std::int64_t(u_) : s_; }
    std::uint64_t asUnsigned() const { return kind_ == Kind::Signed ? std::uint64_t(s_) : u_; }

private:
    Kind kind_;
    QString text_;
    std::int64_t s_ = 0;
    std::uint64_t u_ = 0;
};

QString FormatList(QStringView format, std::initializer_list<FormatArg> args);

template <class... A> QString Format(QStringView format, const A&... args)
{
    return FormatList(format, {FormatArg(args)...});
}

} // namespace tarvo
