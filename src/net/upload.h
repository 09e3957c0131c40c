#pragma once
// One upload of an encoded image: the job that the encoding step hands over, and the worker
// thread that encrypts, posts and links it.
#include "platform/http.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace tarvo {

struct UploadJob
{
    std::array<std::uint8_t, 8> imageId{};  // filled by the worker
    std::array<std::uint8_t, 7> imageKey{}; // filled by the worker, right after the id
    std::uint64_t imageSize = 0;            // bytes of the encoded image
    QByteArray image;                       // the encoded PNG or JPEG bytes
    QString mimeType;                       // "image/png" or "image/jpeg"
    QString annotation;                     // the title, or empty
    // Called once on the worker when the link is on the clipboard and in the history, or the
    // upload has failed; before the sound and the failure notice. May be empty.
    std::function<void()> finished;
};

// Starts the worker on a thread of its own; the job belongs to the worker from here on. Nothing
// waits for the thread. Throws std::system_error only when no thread can be started.
void StartUpload(std::unique_ptr<UploadJob> job);

// The request path and query for a job whose id is set: the service path, then
// "Post?id=<token>&annotation=<escaped title>".
QString UploadRequestObject(const QString& servicePath, const UploadJob& job);
// The image link: the service address, the 20-character token of id and key, ".htp" for PNG
// and ".htm" otherwise.
QString ImageLink(const QString& serviceBaseUrl, const UploadJob& job);

// Bytes of the reply buffer. One byte is kept for the terminator, so a reply is read as at
// most this many bytes minus one.
inline constexpr int kReplyBufferSize = 1000;

} // namespace tarvo
