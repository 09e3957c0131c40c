#pragma once
// The image encoders by MIME type, and encoding into memory at a given quality.
#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstdint>

namespace tarvo {

// Index of the encoder for the MIME type in the encoder list ("image/png", "image/jpeg",
// "image/gif", "image/bmp"); throws ComError(E_NOT_FOUND) for any other type. Whole-text,
// case-sensitive match.
int FindEncoder(QStringView mimeType);

// Encodes the image in memory; the quality (0-100) matters to the JPEG encoder. Logs
// "Using encoder: %s, quality: %u". Throws ComError on failure.
QByteArray EncodeToStream(const QImage& image, std::uint32_t quality, QStringView mimeType);

// The same without the log line, for callers that save with the encoder's defaults.
QByteArray EncodeImage(const QImage& image, std::uint32_t quality, QStringView mimeType);

// The JPEG quality used when no quality is asked for.
inline constexpr std::uint32_t DefaultJpegQuality = 75;

} // namespace tarvo
