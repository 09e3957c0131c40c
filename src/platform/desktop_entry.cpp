#include "platform/desktop_entry.h"

#include <QFile>

namespace tarvo::platform {

std::optional<QString> DesktopEntryValue(const QString& path, QStringView group, QStringView key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    const QString text = QString::fromUtf8(f.readAll());
    return DesktopEntryValueIn(text, group, key);
}

std::optional<QString> DesktopEntryValueIn(QStringView text, QStringView group, QStringView key)
{
    bool inGroup = false;
    for (QStringView line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'[')) {
            inGroup = line.size() >= 2 && line.mid(1, line.size() - 2) == group;
            continue;
        }
        if (!inGroup) continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.left(eq).trimmed() == key) return line.mid(eq + 1).trimmed().toString();
    }
    return std::nullopt;
}

QString DesktopEntryUnescape(QStringView v)
{
    QString out;
    for (qsizetype i = 0; i < v.size(); ++i) {
        if (v[i] == u'\\' && i + 1 < v.size()) {
            const QChar n = v[++i];
            out += n == u's'   ? QChar(u' ')
                   : n == u'n' ? QChar(u'\n')
                   : n == u't' ? QChar(u'\t')
                   : n == u'r' ? QChar(u'\r')
                               : n;
        } else {
            out += v[i];
        }
    }
    return out;
}

QString DesktopEntryEscape(QStringView v)
{
    QString out;
    for (QChar c : v) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

} // namespace tarvo::platform
