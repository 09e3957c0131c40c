// The default web browser as the desktop knows it: the handler of x-scheme-handler/http from
// the mimeapps.list files, and the Exec line of its desktop entry.
#include "platform/paths.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <optional>

namespace tarvo::platform {

namespace {

QStringList envDirs(const char* name, const char* fallback)
{
    QString v = qEnvironmentVariable(name);
    if (v.isEmpty()) v = QString::fromLatin1(fallback);
    QStringList out;
    for (const QString& d : v.split(u':', Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(d)) out << QDir::cleanPath(d);
    return out;
}

QString dataHome()
{
    const QString v = qEnvironmentVariable("XDG_DATA_HOME");
    if (!v.isEmpty() && QDir::isAbsolutePath(v)) return v;
    return QDir::homePath() + QStringLiteral("/.local/share");
}

// Values of a key in one group of a desktop-style ini file.
std::optional<QString> iniValue(const QString& path, QStringView group, QStringView key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    const QString text = QString::fromUtf8(f.readAll());
    bool inGroup = false;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'[')) {
            inGroup = line.mid(1, line.size() - 2) == group;
            continue;
        }
        if (!inGroup) continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq > 0 && line.left(eq).trimmed() == key) return line.mid(eq + 1).trimmed().toString();
    }
    return std::nullopt;
}

QStringList mimeappsFiles()
{
    QStringList files;
    QStringList desktops;
    for (const QString& d :
         qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(u':', Qt::SkipEmptyParts))
        desktops << d.toLower();
    auto addDir = [&](const QString& dir) {
        for (const QString& d : desktops)
            files << dir + u'/' + d + QStringLiteral("-mimeapps.list");
        files << dir + QStringLiteral("/mimeapps.list");
    };
    addDir(ConfigHome());
    for (const QString& d : envDirs("XDG_CONFIG_DIRS", "/etc/xdg"))
        addDir(d);
    addDir(dataHome() + QStringLiteral("/applications"));
    for (const QString& d : envDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        addDir(d + QStringLiteral("/applications"));
    return files;
}

std::optional<QString> findDesktopFile(const QString& id)
{
    QStringList dirs{dataHome()};
    dirs << envDirs("XDG_DATA_DIRS", "/usr/local/share:/usr/share");
    for (const QString& d : dirs) {
        const QString path = d + QStringLiteral("/applications/") + id;
        if (QFile::exists(path)) return path;
    }
    return std::nullopt;
}

QString unescapeString(QStringView v)
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

} // namespace

// Turns an Exec line into a command template with "%1" where the address goes.
QString ExecToCommandTemplate(QStringView exec)
{
    QString out;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec[i] != u'%' || i + 1 >= exec.size()) {
            out += exec[i];
            continue;
        }
        const QChar code = exec[++i];
        if (code == u'u' || code == u'U' || code == u'f' || code == u'F')
            out += QStringLiteral("%1");
        else if (code == u'%')
            out += u'%';
        // Other field codes (%i, %c, %k and deprecated ones) carry nothing we pass.
    }
    return out.trimmed();
}

std::optional<QString> DefaultBrowserCommandTemplate()
{
    for (const QString& list : mimeappsFiles()) {
        const auto handlers = iniValue(list, u"Default Applications", u"x-scheme-handler/http");
        if (!handlers) continue;
        for (const QString& id : handlers->split(u';', Qt::SkipEmptyParts)) {
            const auto file = findDesktopFile(id.trimmed());
            if (!file) continue;
            const auto exec = iniValue(*file, u"Desktop Entry", u"Exec");
            if (exec && !exec->isEmpty()) return ExecToCommandTemplate(unescapeString(*exec));
        }
    }
    return std::nullopt;
}

} // namespace tarvo::platform
