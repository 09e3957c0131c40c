// The default web browser as the desktop knows it: the handler of x-scheme-handler/http from
// the mimeapps.list files, and the Exec line of its desktop entry.
#include "platform/browser_entry.h"

#include "platform/desktop_entry.h"
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
    QString v = qEnvironmentVariable("XDG_DATA_HOME");
    if (!v.isEmpty() && QDir::isAbsolutePath(v)) return v;
    return QDir::homePath() + QStringLiteral("/.local/share");
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

} // namespace

// Turns an Exec line into a command template with "%1" where the address goes; a literal
// percent sign stays escaped as "%%", so "%%1" is a percent and a one, not the placeholder.
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
            out += QStringLiteral("%%");
        // Other field codes (%i, %c, %k and deprecated ones) carry nothing we pass.
    }
    return out.trimmed();
}

std::optional<QString> DefaultBrowserCommandTemplate()
{
    for (const QString& list : mimeappsFiles()) {
        const auto handlers =
            DesktopEntryValue(list, u"Default Applications", u"x-scheme-handler/http");
        if (!handlers) continue;
        for (const QString& id : handlers->split(u';', Qt::SkipEmptyParts)) {
            const auto file = findDesktopFile(id.trimmed());
            if (!file) continue;
            const auto exec = DesktopEntryValue(*file, u"Desktop Entry", u"Exec");
            if (exec && !exec->isEmpty()) return ExecToCommandTemplate(DesktopEntryUnescape(*exec));
        }
    }
    return std::nullopt;
}

} // namespace tarvo::platform
