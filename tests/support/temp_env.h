#pragma once
// Gives a test its own HOME and XDG folders, and puts the old environment back afterwards.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <map>
#include <optional>
#include <string>

namespace tarvo::test {

class ScopedEnv
{
public:
    ~ScopedEnv()
    {
        for (const auto& [name, old] : saved_) {
            if (old)
                qputenv(name.c_str(), *old);
            else
                qunsetenv(name.c_str());
        }
    }
    void set(const char* name, const QByteArray& value)
    {
        remember(name);
        qputenv(name, value);
    }
    void unset(const char* name)
    {
        remember(name);
        qunsetenv(name);
    }

private:
    void remember(const char* name)
    {
        if (saved_.count(name)) return;
        saved_[name] =
            qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    }
    std::map<std::string, std::optional<QByteArray>> saved_;
};

class TempHome
{
public:
    TempHome()
    {
        for (const char* sub : {"/config", "/state", "/runtime", "/home"})
            QDir().mkpath(dir_.path() + sub);
        env_.set("XDG_CONFIG_HOME", QFile::encodeName(config()));
        env_.set("XDG_STATE_HOME", QFile::encodeName(dir_.path() + "/state"));
        env_.set("XDG_RUNTIME_DIR", QFile::encodeName(dir_.path() + "/runtime"));
        env_.set("HOME", QFile::encodeName(dir_.path() + "/home"));
    }
    QString path() const { return dir_.path(); }
    QString config() const { return dir_.path() + "/config"; }
    QString storeFile() const { return config() + "/tarvo/tarvo.reg"; }
    ScopedEnv& env() { return env_; }

    static QByteArray read(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void write(const QString& path, const QByteArray& data)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(data);
    }

private:
    QTemporaryDir dir_;
    ScopedEnv env_;
};

} // namespace tarvo::test
