#include "net/log.h"

#include "platform/paths.h"
#include "platform/report.h"
#include "platform/services.h"

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
        const auto services = CurrentServices();
        QByteArray line = (services->logClock ? services->logClock() : localTimeStamp()).toUtf8();
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
    platform::SetFailureLogSink([](const QString& line) { LogText(line); });
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
    platform::SetFailureLogSink(nullptr);
    const std::lock_guard<std::mutex> guard(gLock);
    if (std::FILE* f = gStream.exchange(nullptr)) std::fclose(f);
}

QString LogSafe(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            out += QStringLiteral("\\n");
        else if (u == u'\r')
            out += QStringLiteral("\\r");
        else if (u == u'\t')
            out += QStringLiteral("\\t");
        else if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        else if (u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(uint(u), 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace tarvo
