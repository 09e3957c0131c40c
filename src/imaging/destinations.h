#pragma once
// The two local deliveries of a fragment.
#include "platform/hresult.h"

#include <QImage>
#include <QString>
#include <functional>
#include <future>

namespace tarvo {

// A fragment's bytes on their way from a thread of their own, as a delivery below encodes them:
// PNG for the clipboard, the file's own format for the file.
struct EncodedFragment
{
    QString imageFormat;
    std::shared_future<QByteArray> bytes; // empty when nothing is on its way; throws as encoding
    bool ready() const;
    // Returns once the bytes are there (or nothing is on its way); the calling thread's events
    // are served meanwhile.
    void wait() const;
};

// Starts encoding the fragment as imageFormat; whoever drops the result last does not wait.
EncodedFragment EncodeForDelivery(const QImage& fragment, const QString& imageFormat);

// Puts the fragment on the clipboard as a picture, waits 500 ms, logs, plays the success sound.
void PostToClipboard(const QImage& fragment);
// The same; posted runs as soon as the clipboard has the picture, before the pause. A PNG of
// the fragment already on its way is taken instead of encoding it again.
void PostToClipboard(const QImage& fragment, const std::function<void()>& posted,
                     const EncodedFragment& encoded = {});
// Saves the fragment as the next free "screenshot_%05i.<ext>" in the target folder, reports
// the path to the main window (history) and to the clipboard, plays the success sound.
// Throws ComError on failure, FolderNotWritable when the file cannot be written.
void SaveToNumberedFile(const QImage& fragment);
// The same; written runs once the file has all its bytes, before they are flushed to disk and
// before the history and the clipboard hear of it (the capture takes its overlay away then).
// Bytes already on their way in the file's format are taken instead of encoding again.
void SaveToNumberedFile(const QImage& fragment, const std::function<void()>& written,
                        const EncodedFragment& encoded = {});

// The target folder does not take the file (missing, read-only, full). An E_FAIL to the log.
class FolderNotWritable : public ComError
{
public:
    FolderNotWritable() : ComError(E_FAIL) {}
};

// The file extension for an image format ("image/jpeg" gives "jpg", ...); throws
// ComError(E_BAD_FORMAT) for any other text.
QString ExtensionForImageFormat(QStringView imageFormat);
// The folder as a file-name prefix: a "/" is added unless it is empty or already ends in one.
QString FolderPrefix(const QString& folder);

} // namespace tarvo
