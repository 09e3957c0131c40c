#include "platform/regfile.h"

#include <QStringDecoder>
#include <QStringList>
#include <optional>

namespace tarvo::platform {

namespace {

constexpr auto kHeader = QLatin1StringView("Windows Registry Editor Version 5.00");

QByteArray utf16le(QStringView s, bool terminate)
{
    QByteArray out;
    out.reserve((s.size() + 1) * 2);
    for (QChar c : s) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    if (terminate) out.append(2, '\0');
    return out;
}

QString unescapeQuoted(QStringView s, qsizetype& pos, bool& ok)
{
    // s[pos] is the opening quote; on return pos is past the closing quote.
    QString out;
    ok = false;
    for (++pos; pos < s.size(); ++pos) {
        const QChar c = s[pos];
        if (c == u'\\' && pos + 1 < s.size()) {
            out += s[++pos];
        } else if (c == u'"') {
            ++pos;
            ok = true;
            return out;
        } else {
            out += c;
        }
    }
    return out;
}

QString escapeQuoted(QStringView s)
{
    QString out;
    out.reserve(s.size() + 2);
    for (QChar c : s) {
        if (c == u'\\' || c == u'"') out += u'\\';
        out += c;
    }
    return out;
}

std::optional<QByteArray> parseHexList(QStringView s)
{
    QByteArray out;
    const QStringView t = s.trimmed();
    if (t.isEmpty()) return out;
    for (QStringView part : t.split(u',')) {
        part = part.trimmed();
        bool ok = false;
        const uint v = part.toUInt(&ok, 16);
        if (!ok || part.size() > 2 || v > 0xFF) return std::nullopt;
        out.append(char(v));
    }
    return out;
}

std::optional<RegValue> parseValue(QStringView v)
{
    v = v.trimmed();
    if (v.startsWith(u'"')) {
        qsizetype pos = 0;
        bool ok = false;
        const QString text = unescapeQuoted(v, pos, ok);
        if (!ok || !v.mid(pos).trimmed().isEmpty()) return std::nullopt;
        return MakeRegText(text, REG_SZ);
    }
    if (v.startsWith(u"dword:", Qt::CaseInsensitive)) {
        const QStringView h = v.mid(6).trimmed();
        bool ok = false;
        const uint n = h.toUInt(&ok, 16);
        if (!ok || h.isEmpty() || h.size() > 8) return std::nullopt;
        return MakeRegDword(n);
    }
    if (v.startsWith(u"hex", Qt::CaseInsensitive)) {
        std::uint32_t type = REG_BINARY;
        qsizetype colon = v.indexOf(u':');
        if (colon < 0) return std::nullopt;
        const QStringView head = v.left(colon);
        if (head.size() > 3) {
            if (!head.startsWith(u"hex(", Qt::CaseInsensitive) || !head.endsWith(u')'))
                return std::nullopt;
            bool ok = false;
            type = head.mid(4, head.size() - 5).toUInt(&ok, 16);
            if (!ok) return std::nullopt;
        }
        auto bytes = parseHexList(v.mid(colon + 1));
        if (!bytes) return std::nullopt;
        return RegValue{type, *bytes};
    }
    return std::nullopt;
}

// A text that a quoted UTF-8 value holds exactly: one zero at the end, no line breaks, and no
// lone surrogate (UTF-8 has no form for one). Anything else is written as hex.
bool isCleanText(const QByteArray& d)
{
    if (d.size() < 2 || d.size() % 2 != 0) return false;
    const auto n = d.size() / 2;
    auto unit = [&](qsizetype i) { return char16_t(uchar(d[2 * i]) | (uchar(d[2 * i + 1]) << 8)); };
    if (unit(n - 1) != 0) return false;
    for (qsizetype i = 0; i < n - 1; ++i) {
        const char16_t u = unit(i);
        if (u == 0 || u == u'\n' || u == u'\r') return false;
        if (QChar::isHighSurrogate(u)) {
            if (i + 1 >= n - 1 || !QChar::isLowSurrogate(unit(i + 1))) return false;
            ++i;
        } else if (QChar::isLowSurrogate(u)) {
            return false;
        }
    }
    return true;
}

// Splits the file into physical lines as text. A line whose bytes are no valid UTF-8 (or, in
// a UTF-16 file, holds a lone surrogate) would not be written back as it was: it becomes a
// line that no rule reads, so it counts as unreadable and the original is kept.
QStringList physicalLines(const QByteArray& bytes)
{
    static const QString kUnreadable = QStringLiteral("\uFFFF");
    QStringList out;
    if (bytes.startsWith("\xFF\xFE")) {
        const QString text =
            QString(reinterpret_cast<const QChar*>(bytes.constData() + 2), (bytes.size() - 2) / 2);
        for (const QString& line : text.split(u'\n'))
            out << (QStringView(line).isValidUtf16() ? line : kUnreadable);
        if (bytes.size() % 2 != 0) out.last() = kUnreadable; // a cut-off last character
        return out;
    }
    const QByteArray body = bytes.startsWith("\xEF\xBB\xBF") ? bytes.mid(3) : bytes;
    for (const QByteArray& raw : body.split('\n')) {
        QStringDecoder decode(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString line = decode(raw);
        out << (decode.hasError() ? kUnreadable : line);
    }
    return out;
}

QString textOf(const QByteArray& d)
{
    return QString(reinterpret_cast<const QChar*>(d.constData()), d.size() / 2 - 1);
}

void appendHex(QByteArray& out, QByteArray line, const QByteArray& bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        line += QByteArray::number(uchar(bytes[i]), 16).rightJustified(2, '0');
        if (i + 1 < bytes.size()) {
            line += ',';
            if (line.size() >= 77) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    out += line + '\n';
}

} // namespace

RegValue MakeRegText(QStringView text, std::uint32_t type)
{
    return {type, utf16le(text, true)};
}

RegValue MakeRegDword(std::uint32_t v)
{
    QByteArray d(4, '\0');
    for (int i = 0; i < 4; ++i)
        d[i] = char((v >> (8 * i)) & 0xFF);
    return {REG_DWORD, d};
}

RegDocument RegDocument::Parse(const QByteArray& bytes)
{
    RegDocument doc;
    // Logical lines: hex lists may continue over several physical lines with a backslash.
    QStringList lines;
    const QStringList raw = physicalLines(bytes);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        QString line = raw[i];
        if (line.endsWith(u'\r')) line.chop(1);
        while (line.trimmed().endsWith(u'\\') && line.contains(u"=hex", Qt::CaseInsensitive) &&
               i + 1 < raw.size()) {
            line = line.trimmed();
            line.chop(1);
            QString next = raw[++i];
            if (next.endsWith(u'\r')) next.chop(1);
            line += next.trimmed();
        }
        lines << line;
    }

    bool headerSeen = false;
    RegKey* current = nullptr;
    bool skipKey = false; // inside a "[-key]" deletion block
    for (const QString& l : lines) {
        const QStringView line = QStringView(l).trimmed();
        if (line.isEmpty() || line.startsWith(u';')) continue;
        if (!headerSeen) {
            headerSeen = true;
            if (line == kHeader || line == u"REGEDIT4") continue;
            // No header: the line is read like any other, so a file without one still counts.
        }
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']') || line.size() < 3) {
                ++doc.unreadable_;
                current = nullptr;
                skipKey = false;
                continue;
            }
            QStringView path = line.mid(1, line.size() - 2);
            skipKey = path.startsWith(u'-');
            if (skipKey) {
                current = nullptr;
                continue;
            }
            current = doc.findKey(path);
            if (!current) {
                doc.keys_.append(RegKey{path.toString(), {}});
                current = &doc.keys_.last();
            }
            continue;
        }
        if (skipKey) continue;
        QString name;
        qsizetype pos = 0;
        if (line.startsWith(u'@')) {
            pos = 1;
        } else if (line.startsWith(u'"')) {
            bool ok = false;
            name = unescapeQuoted(line, pos, ok);
            if (!ok) {
                ++doc.unreadable_;
                continue;
            }
        } else {
            ++doc.unreadable_;
            continue;
        }
        QStringView rest = line.mid(pos).trimmed();
        if (!rest.startsWith(u'=') || !current) {
            ++doc.unreadable_;
            continue;
        }
        rest = rest.mid(1).trimmed();
        if (rest == u"-") {
            doc.Remove(current->path, name);
            continue;
        }
        auto value = parseValue(rest);
        if (!value) {
            ++doc.unreadable_;
            continue;
        }
        doc.Set(current->path, name, *value);
    }
    return doc;
}

QByteArray RegDocument::Serialize() const
{
    QByteArray out = QByteArray(kHeader.data(), kHeader.size()) + "\n";
    for (const RegKey& k : keys_) {
        out += "\n[" + k.path.toUtf8() + "]\n";
        for (const RegEntry& e : k.values) {
            const QByteArray name =
                e.name.isEmpty() ? QByteArray("@") : "\"" + escapeQuoted(e.name).toUtf8() + "\"";
            const RegValue& v = e.value;
            if (v.type == REG_SZ && isCleanText(v.data)) {
                out += name + "=\"" + escapeQuoted(textOf(v.data)).toUtf8() + "\"\n";
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                std::uint32_t n = 0;
                for (int i = 0; i < 4; ++i)
                    n |= std::uint32_t(uchar(v.data[i])) << (8 * i);
                out += name + "=dword:" + QByteArray::number(n, 16).rightJustified(8, '0') + "\n";
            } else if (v.type == REG_BINARY) {
                appendHex(out, name + "=hex:", v.data);
            } else {
                appendHex(out, name + "=hex(" + QByteArray::number(v.type, 16) + "):", v.data);
            }
        }
    }
    return out;
}

RegKey* RegDocument::findKey(QStringView path)
{
    for (RegKey& k : keys_)
        if (QStringView(k.path).compare(path, Qt::CaseInsensitive) == 0) return &k;
    return nullptr;
}

const RegValue* RegDocument::Find(QStringView keyPath, QStringView name) const
{
    for (const RegKey& k : keys_) {
        if (QStringView(k.path).compare(keyPath, Qt::CaseInsensitive) != 0) continue;
        for (const RegEntry& e : k.values)
            if (QStringView(e.name).compare(name, Qt::CaseInsensitive) == 0) return &e.value;
    }
    return nullptr;
}

void RegDocument::Set(QStringView keyPath, QStringView name, const RegValue& value)
{
    RegKey* k = findKey(keyPath);
    if (!k) {
        keys_.append(RegKey{keyPath.toString(), {}});
        k = &keys_.last();
    }
    for (RegEntry& e : k->values) {
        if (QStringView(e.name).compare(name, Qt::CaseInsensitive) == 0) {
            e.value = value;
            return;
        }
    }
    k->values.append(RegEntry{name.toString(), value});
}

bool RegDocument::Remove(QStringView keyPath, QStringView name)
{
    RegKey* k = findKey(keyPath);
    if (!k) return false;
    for (qsizetype i = 0; i < k->values.size(); ++i) {
        if (QStringView(k->values[i].name).compare(name, Qt::CaseInsensitive) == 0) {
            k->values.removeAt(i);
            return true;
        }
    }
    return false;
}

} // namespace tarvo::platform
