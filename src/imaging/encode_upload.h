#pragma once
#include "net/upload.h"

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>

namespace tarvo {

inline constexpr std::int64_t UploadSizeLimit = 524288; // bytes; exactly this much still fits

// Encodes the fragment for the web within the size limit (PNG first, JPEG with falling
// quality after it) and starts the upload worker with the result, which calls finished (on its
// thread) once the link is on the clipboard or the upload failed. Throws ComError on failure,
// and then nothing is started.
void EncodeForUpload(const QImage& fragment, const QString& title,
                     std::function<void()> finished = {});

// The format and quality the web route starts with for a fragment of that many pixels.
struct UploadEncoding
{
    QStringView mimeType;
    std::uint32_t quality;
};
UploadEncoding StartingUploadEncoding(std::int64_t pixels);

} // namespace tarvo
