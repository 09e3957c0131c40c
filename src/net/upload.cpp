#include "net/upload.h"

#include "net/crypto.h"
#include "net/log.h"
#include "platform/clipboard.h"
#include "platform/commands.h"
#include "platform/hresult.h"
#include "platform/process_state.h"
#include "platform/report.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/service.h"
#include "settings/settings.h"

#include <QUrl>
#include <algorithm>
#include <thread>
#include <utility>

namespace tarvo {

namespace {

// The service answered but did not store the picture. Logged as the E_FAIL it is; only the
// notification tells it apart.
class Refused : public ComError
{
public:
    Refused() : ComError(E_FAIL) {}
};

void postImage(const UploadJob& job, const QString& serviceBaseUrl)
{
    const auto length = static_cast<qsizetype>(
        std::min<std::uint64_t>(job.imageSize, static_cast<std::uint64_t>(job.image.size())));
    LogText(u"Encrypting buffer");
    const QByteArray cipher = EncryptImage(job.imageKey, QByteArrayView(job.image).first(length));

    const QUrl url(serviceBaseUrl);
    if (!url.isValid() || url.host().isEmpty()) ThrowHr(E_INVALIDARG);
    platform::HttpRequest request;
    request.post = true;
    if (url.scheme() == QLatin1String("https")) request.scheme = url.scheme();
    request.host = url.host(QUrl::FullyEncoded);
    request.port = url.port(request.scheme == QLatin1String("https") ? 443 : 80);

    LogText(u"Creating and opening Internet session");
    const QString object = UploadRequestObject(url.path(QUrl::FullyEncoded), job);
    LogFormat(u"Posting to: %s", LogSafe(object));

    request.target = object.toUtf8();
    request.headers = {"User-Agent: Tarvo/" + kProgramVersion.toLatin1(),
                       "Content-type: image/jpeg", "Content-Transfer-Encoding: binary",
                       // libcurl would add these two of its own; the service never sees them.
                       "Expect:", "Accept:"};
    request.body = cipher;
    request.replyLimit = kReplyBufferSize - 1;
    request.timeouts = CurrentServices()->uploadTimeouts;
    bool toldReading = false;
    request.onResponse = [&toldReading] {
        toldReading = true;
        LogText(u"Reading reply");
    };

    LogText(u"Sending request");
    platform::HttpReply reply;
    if (!platform::HttpSend(request, &reply)) {
        LogText(u"SendRequestEx failed");
        ThrowHr(E_FAIL);
    }
    if (!toldReading) LogText(u"Reading reply");
    // Only a 2xx reply can carry the service's answer; a redirect or an error page saying
    // "OK" has stored nothing.
    if (reply.status < 200 || reply.status > 299) {
        LogFormat(u"Server replied with HTTP status %i", int(reply.status));
        throw Refused();
    }

    if (reply.body.isEmpty()) {
        LogText(u"Cannot read server reply, ReadString failed");
        throw Refused();
    }
    // The reply is a zero-terminated text: it ends at the first zero byte.
    const QByteArray text(reply.body.constData(),
                          qstrnlen(reply.body.constData(), static_cast<uint>(reply.body.size())));
    if (text != "OK") {
        LogFormat(u"Server was supposed to reply OK, instead it replied: %s",
                  LogSafe(QString::fromLocal8Bit(text.left(100))));
        throw Refused();
    }
    LogText(u"Image posted");
}

void deliverLink(const UploadJob& job, const QString& serviceBaseUrl)
{
    const QString link = ImageLink(serviceBaseUrl, job);
    platform::SendCommand(CmdAddHistory, reinterpret_cast<qintptr>(&link));
    CopyTextToClipboard(link);
}

void logFailure()
{
    try {
        throw;
    } catch (const ComError& e) {
        LogFormat(u"Exception: 0x%08x: %s", static_cast<std::uint32_t>(e.Error()),
                  ErrorMessageText(e.Error()));
    } catch (const platform::HttpError& e) {
        LogFormat(u"Exception: %s", LogSafe(e.message().left(1023)));
    } catch (const std::exception& e) {
        LogFormat(u"Exception: %s", LogSafe(QString::fromLocal8Bit(e.what()).left(1023)));
    } catch (...) {
        LogText(u"Unknown exception");
    }
}

// The notification's words for the failure being handled. Plain words only: the link, the
// token and the server's reply stay in the log.
QString failureText()
{
    try {
        throw;
    } catch (const Refused&) {
        return QStringLiteral("Сервер не принял снимок.");
    } catch (const platform::HttpError& e) {
        if (e.unreachable())
            return QStringLiteral("Не удалось отправить снимок: сервис недоступен.");
    } catch (...) {
    }
    return QStringLiteral("Не удалось отправить снимок.");
}

// Whoever waits for the upload hears of it once, whichever way it ends.
void tellFinished(UploadJob& job) noexcept
{
    const auto finished = std::exchange(job.finished, {});
    if (!finished) return;
    try {
        finished();
    } catch (...) {
    }
}

void uploadWorker(std::unique_ptr<UploadJob> job) noexcept
{
    UploadsInProgress.fetch_add(1);
    try {
        platform::SendCommand(CmdRefreshIcon, 0);
    } catch (...) {
    }
    try {
        try {
            MakeRandomBytes(job->imageId.data(), job->imageId.size());
            MakeRandomBytes(job->imageKey.data(), job->imageKey.size());
            const QString base = ServiceBaseUrl();
            postImage(*job, base);
            deliverLink(*job, base);
            LogText(u"Posted to URL");
            tellFinished(*job);
            if (Settings.sounds) PlaySoundResource(IDW_SUCCESS);
        } catch (...) {
            logFailure();
            tellFinished(*job);
            if (Settings.sounds) PlaySoundResource(IDW_FAILURE);
            platform::ReportFailure(platform::Failure::Upload, {}, failureText());
        }
    } catch (...) {
        // Even the failure report failed (out of memory); the counter still goes back below.
    }
    tellFinished(*job); // when even the failure path failed
    job.reset();
    UploadsInProgress.fetch_sub(1);
    try {
        platform::SendCommand(CmdRefreshIcon, 0);
    } catch (...) {
    }
}

} // namespace

QString UploadRequestObject(const QString& servicePath, const UploadJob& job)
{
    const QString path = servicePath.isEmpty() ? QStringLiteral("/") : servicePath;
    return path + QStringLiteral("Post?id=") +
           QString::fromLatin1(EncodeLinkToken(job.imageId.data(), job.imageId.size())) +
           QStringLiteral("&annotation=") + EscapeAnnotation(job.annotation);
}

QString ImageLink(const QString& serviceBaseUrl, const UploadJob& job)
{
    std::array<std::uint8_t, 15> token{};
    std::copy(job.imageId.begin(), job.imageId.end(), token.begin());
    std::copy(job.imageKey.begin(), job.imageKey.end(), token.begin() + job.imageId.size());
    const bool png = job.mimeType == QLatin1String("image/png");
    return serviceBaseUrl + QString::fromLatin1(EncodeLinkToken(token.data(), token.size())) +
           (png ? QStringLiteral(".htp") : QStringLiteral(".htm"));
}

void StartUpload(std::unique_ptr<UploadJob> job)
{
    std::thread([job = std::move(job)]() mutable { uploadWorker(std::move(job)); }).detach();
}

} // namespace tarvo
