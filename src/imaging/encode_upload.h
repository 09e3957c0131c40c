#pragma once
#include "net/upload.h"

#include <QImage>
#include <QString>
#include <cstdint>

namespace tarvo {

inline constexpr std::int64_t UploadSizeLimit = 524288; // bytes; exactly this much still fits

// Encodes the fragment for the web within the size limit (PNG first, JPEG with falling
// quality after it) and starts the upload worker with the result. Throws ComError on failure.
void EncodeForUpload(const QImage& fragment, const QString& title);

// The format and quality the web route starts with for a fragment of that many pixels.
struct UploadEncoding
{
    QStringView mimeType;
    std::uint32_t quality;
};
UploadEncoding StartingUploadEncoding(std::int64_t pixels);

} // namespace tarvo
