#pragma once
#include <QImage>
#include <QString>

#include <cstdint>

namespace tarvo {

inline constexpr std::int64_t UploadSizeLimit = 524288; // bytes; exactly this much still fits

// Encodes the fragment for the web within the size limit (PNG first, JPEG with falling
// quality after it) and starts the upload worker with the result. Throws ComError on failure.
void EncodeForUpload(const QImage& fragment, const QString& title);

} // namespace tarvo
