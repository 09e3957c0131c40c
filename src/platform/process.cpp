#include "platform/process.h"

#include <QProcess>

namespace tarvo::platform {

bool SpawnDetached(const QStringList& argv)
{
    if (argv.isEmpty() || argv.front().isEmpty()) return false;
    return QProcess::startDetached(argv.front(), argv.mid(1));
}

QStringList SplitCommandLine(QStringView s)
{
    QStringList out;
    QString current;
    bool inArg = false, quoted = false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (quoted) {
            if (c == u'\\' && i + 1 < s.size() && QStringView(u"\"`$\\").contains(s[i + 1])) {
                current += s[++i];
            } else if (c == u'"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == u'"') {
            quoted = inArg = true;
        } else if (c == u' ' || c == u'\t' || c == u'\n') {
            if (inArg) out << current;
            current.clear();
            inArg = false;
        } else {
            current += c;
            inArg = true;
        }
    }
    if (inArg) out << current;
    return out;
}

bool OpenWithDesktop(const QString& text)
{
    return SpawnDetached({QStringLiteral("xdg-open"), text});
}

} // namespace tarvo::platform
