#include "net/log.h"

#include "platform/paths.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace tarvo {

namespace {

QString localTimeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

std::mutex gLock;
std::atomic<std::FILE*> gStream{nullptr};
std::atomic<LogClock> gClock{&localTimeStamp};

} // namespace

bool IsLogOpen()
{
    return gStream.load(std::memory_order_acquire) != nullptr;
}

void LogText(const QString* text)
{
    if (!IsLogOpen()) return;
    try {
        const std::lock_guard<std::mutex> guard(gLock);
        std::FILE* f = gStream.load(std::memory_order_acquire);
        if (!f) return;
        QByteArray line = gClock.load()().toUtf8();
        line += ": ";
        if (text) line += text->toUtf8();
        line += '\n';
        // One write per line keeps entries whole even if another process appends too.
        std::fwrite(line.constData(), 1, size_t(line.size()), f);
        std::fflush(f);
    } catch (...) {
        // The log never fails its caller.
    }
}

bool OpenLog(const QString& path)
{
    const std::lock_guard<std::mutex> guard(gLock);
    if (gStream.load()) return true;
    platform::MakePath(QFileInfo(path).absolutePath());
    std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "ae");
    if (!f) return false;
    gStream.store(f, std::memory_order_release);
    return true;
}

bool OpenLogFromEnvironment()
{
    const QString v = qEnvironmentVariable("TARVO_LOG");
    if (v.isEmpty()) return false;
    if (v == u"1") return OpenLog(platform::StateHome() + QStringLiteral("/tarvo/TarvoTray.log"));
    return OpenLog(v);
}

void CloseLog()
{
    const std::lock_guard<std::mutex> guard(gLock);
    if (std::FILE* f = gStream.exchange(nullptr)) std::fclose(f);
}

void SetLogClock(LogClock clock)
{
    gClock.store(clock ? clock : &localTimeStamp);
}

} // namespace tarvo
