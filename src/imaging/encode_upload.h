#pragma once
#include "net/upload.h"

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

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

// Test seams (null restores EncodeToStream and StartUpload).
using UploadEncoder = std::function<QByteArray(const QImage&, std::uint32_t, QStringView)>;
void SetUploadEncoder(UploadEncoder encoder);
using UploadStarter = std::function<void(std::unique_ptr<UploadJob>)>;
void SetUploadStarter(UploadStarter starter);

} // namespace tarvo
