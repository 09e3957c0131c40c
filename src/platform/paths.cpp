#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <unistd.h>

namespace tarvo::platform {

namespace {

QString envDir(const char* name, const char* fallbackUnderHome)
{
    const QString v = qEnvironmentVariable(name);
    if (!v.isEmpty() && QDir::isAbsolutePath(v)) return QDir::cleanPath(v);
    return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + QLatin1String(fallbackUnderHome));
}

} // namespace

QString ConfigHome()
{
    return envDir("XDG_CONFIG_HOME", ".config");
}
QString StateHome()
{
    return envDir("XDG_STATE_HOME", ".local/state");
}

QString RuntimeDir()
{
    const QString v = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!v.isEmpty() && QDir::isAbsolutePath(v)) return QDir::cleanPath(v);
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString ModuleFileName()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

bool MakePath(const QString& dir)
{
    return QDir().mkpath(dir);
}

} // namespace tarvo::platform
