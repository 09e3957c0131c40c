#include "platform/wformat.h"

namespace tarvo {

namespace {

QString pad(QString body, int width, bool left, bool zero, bool hasSign)
{
    if (body.size() >= width) return body;
    const auto fill = width - body.size();
    if (left) return body + QString(fill, u' ');
    if (zero) {
        const int at = hasSign ? 1 : 0;
        body.insert(at, QString(fill, u'0'));
        return body;
    }
    return QString(fill, u' ') + body;
}

} // namespace

QString FormatList(QStringView f, std::initializer_list<FormatArg> args)
{
    QString out;
    out.reserve(f.size() + 16);
    auto next = args.begin();
    const FormatArg empty{QString()};
    auto take = [&]() -> const FormatArg& { return next != args.end() ? *next++ : empty; };

    for (qsizetype i = 0; i < f.size(); ++i) {
        const QChar c = f[i];
        if (c != u'%') {
            out += c;
            continue;
        }
        if (++i >= f.size()) break;
        if (f[i] == u'%') {
            out += u'%';
            continue;
        }
        bool left = false, zero = false, plus = false;
        for (; i < f.size(); ++i) {
            if (f[i] == u'-')
                left = true;
            else if (f[i] == u'0')
                zero = true;
            else if (f[i] == u'+')
                plus = true;
            else if (f[i] != u' ' && f[i] != u'#')
                break;
        }
        int width = 0;
        for (; i < f.size() && f[i].isDigit(); ++i)
            width = std::min(width * 10 + f[i].digitValue(), 4096);
        int precision = -1;
        if (i < f.size() && f[i] == u'.') {
            precision = 0;
            for (++i; i < f.size() && f[i].isDigit(); ++i)
                precision = std::min(precision * 10 + f[i].digitValue(), 4096);
        }
        while (i < f.size() && (f[i] == u'l' || f[i] == u'h' || f[i] == u'I' || f[i] == u'z' ||
                                f[i] == u'j' || f[i] == u'L' || f[i] == u'w'))
            ++i;
        if (i >= f.size()) break;
        const char16_t conv = f[i].unicode();
        const FormatArg& a = take();
        switch (conv) {
        case u's':
        case u'S': {
            QString s = a.kind() == FormatArg::Kind::Text     ? a.text()
                        : a.kind() == FormatArg::Kind::Signed ? QString::number(a.asSigned())
                                                              : QString::number(a.asUnsigned());
            if (precision >= 0) s.truncate(precision);
            out += pad(s, width, left, false, false);
            break;
        }
        case u'c':
            out += pad(QString(QChar(char16_t(a.asUnsigned()))), width, left, false, false);
            break;
        case u'i':
        case u'd': {
            // 32-bit conversions: the program formats 32-bit values, as C would.
            const auto v = std::int32_t(a.asSigned());
            QString s = QString::number(v);
            if (plus && v >= 0) s.prepend(u'+');
            out += pad(s, width, left, zero && !left, v < 0 || plus);
            break;
        }
        case u'u':
            out += pad(QString::number(std::uint32_t(a.asUnsigned())), width, left, zero && !left,
                       false);
            break;
        case u'x':
        case u'X': {
            QString s = QString::number(std::uint32_t(a.asUnsigned()), 16);
            if (conv == u'X') s = s.toUpper();
            out += pad(s, width, left, zero && !left, false);
            break;
        }
        default:
            // Unknown conversion: keep it visible rather than guess.
            out += u'%';
            out += QChar(conv);
            break;
        }
    }
    return out;
}

} // namespace tarvo
