#include "imaging/destinations.h"

#include "imaging/codecs.h"
#include "imaging/encoders.h"
#include "imaging/off_thread.h"
#include "net/log.h"
#include "platform/clipboard.h"
#include "platform/commands.h"
#include "platform/files.h"
#include "platform/hresult.h"
#include "platform/paths.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/image_formats.h"
#include "settings/settings.h"

#include <QFileInfo>
#include <future>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

namespace tarvo {

namespace {

constexpr std::chrono::milliseconds kClipboardPause{500};

// Only the user-interface thread saves files and posts to the clipboard.
std::int32_t gScreenshotCounter = 0;

// Saved and pasted pictures are compressed at the fastest level: the same pixels, a few per
// cent more bytes than the upload's PNG, and the file is there several times sooner.
constexpr int kFastPngLevel = 1;

const QString kPng = QStringLiteral("image/png");

QByteArray encode(const QImage& fragment, const QString& imageFormat)
{
    if (FindEncoder(imageFormat) == FindEncoder(kPng))
        return codecs::EncodePngQuick(fragment, kFastPngLevel);
    return EncodeImage(fragment, DefaultJpegQuality, imageFormat);
}

// Whether the bytes on their way are the fragment's in this format.
bool usable(const EncodedFragment& encoded, const QString& imageFormat)
{
    return encoded.bytes.valid() && encoded.imageFormat == imageFormat;
}

void successSound()
{
    if (Settings.sounds) PlaySoundResource(IDW_SUCCESS);
}

} // namespace

bool EncodedFragment::ready() const
{
    return bytes.valid() && bytes.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

void EncodedFragment::wait() const
{
    if (!bytes.valid() || ready()) return;
    OffThread([this] {
        bytes.wait();
        return true;
    });
}

EncodedFragment EncodeForDelivery(const QImage& fragment, const QString& imageFormat)
{
    // A detached thread and a promise: unlike std::async's future, the last holder of this one
    // does not wait for the encoder.
    auto promise = std::make_shared<std::promise<QByteArray>>();
    EncodedFragment encoded{imageFormat, promise->get_future().share()};
    const auto work = [promise, fragment, imageFormat] {
        try {
            promise->set_value(encode(fragment, imageFormat));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        work(); // no thread to be had: the bytes are made here and now
    }
    return encoded;
}

QString ExtensionForImageFormat(QStringView imageFormat)
{
    for (const ImageFormat& f : kImageFormats)
        if (f.mimeType == imageFormat) return f.extension.toString();
    ThrowHr(E_BAD_FORMAT);
}

QString FolderPrefix(const QString& folder)
{
    if (folder.isEmpty() || folder.endsWith(QLatin1Char('/'))) return folder;
    return folder + QLatin1Char('/');
}

void PostToClipboard(const QImage& fragment)
{
    PostToClipboard(fragment, {});
}

void PostToClipboard(const QImage& fragment, const std::function<void()>& posted,
                     const EncodedFragment& encoded)
{
    if (fragment.isNull()) return; // nothing to post; the capture already reported why
    // Encoded on a worker from the start while the clipboard is taken at once: a paste (or a
    // clipboard manager) that asks meanwhile is answered the moment the bytes are there.
    const EncodedFragment png = usable(encoded, kPng) ? encoded : EncodeForDelivery(fragment, kPng);
    const auto answer = [bytes = png.bytes] {
        try {
            return bytes.get();
        } catch (...) {
            return QByteArray(); // the toolkit's own encoder answers then
        }
    };
    CopyImageToClipboard(fragment, [answer](const QImage&) { return answer(); });
    png.wait();
    if (posted) posted();
    if (const auto services = CurrentServices(); services->clipboardWait)
        services->clipboardWait(kClipboardPause);
    else
        platform::PauseWithEvents(kClipboardPause); // the clipboard must answer meanwhile
    LogText(u"Posted to clipboard");
    successSound();
}

void SaveToNumberedFile(const QImage& fragment)
{
    SaveToNumberedFile(fragment, {});
}

void SaveToNumberedFile(const QImage& fragment, const std::function<void()>& written,
                        const EncodedFragment& encoded)
{
    // The default folder is made on first use, as the desktop's own folders are.
    if (Settings.targetFolder == DefaultPicturesFolder()) platform::MakePath(Settings.targetFolder);
    const QString prefix = FolderPrefix(Settings.targetFolder);
    const QString imageFormat = Settings.imageFormat;
    const QString extension = ExtensionForImageFormat(imageFormat);
    // Saved with the encoder's defaults, as a file dialog would; quality matters to JPEG only.
    // Encoded on a worker, so the clipboard and the tray are served meanwhile.
    const EncodedFragment file =
        usable(encoded, imageFormat) ? encoded : EncodeForDelivery(fragment, imageFormat);
    file.wait();
    const QByteArray bytes = file.bytes.get();

    const auto services = CurrentServices();
    std::int32_t& counter =
        services->screenshotCounter ? *services->screenshotCounter : gScreenshotCounter;
    QString fullPath;
    for (;;) {
        if (counter == std::numeric_limits<std::int32_t>::max()) ThrowHr(E_FAIL);
        ++counter;
        fullPath = Format(u"%sscreenshot_%05i.%s", prefix, counter, extension);
        const QFileInfo existing(fullPath);
        if (existing.exists() || existing.isSymLink()) continue;
        // A file that appeared since the check is never overwritten: it takes the next number.
        const int err = platform::CreateFileExclusively(fullPath, bytes, written);
        if (platform::NameTaken(err)) continue;
        if (err != 0) {
            // The system's reason on a line of its own; the failure itself is E_FAIL.
            LogFormat(u"Cannot save %s: %s", LogSafe(fullPath), SystemErrorText(err));
            throw FolderNotWritable();
        }
        break;
    }

    platform::SendCommand(CmdAddHistory, reinterpret_cast<qintptr>(&fullPath));
    CopyTextToClipboard(fullPath);
    successSound();
}

} // namespace tarvo
