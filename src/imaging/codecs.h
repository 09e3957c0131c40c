#pragma once
// The encoders behind the MIME types, with the knobs the benchmarks compare. Each throws
// ComError(E_FAIL) when its library fails (an empty image included).
#include <QByteArray>
#include <QImage>

namespace tarvo::codecs {

struct PngOptions
{
    // zlib level 3 with the "sub" filter only: on a screen-like full-HD picture 26 ms and
    // 657 KB against 74 ms and 700 KB for Qt's writer (level 6, adaptive filters); level 1-2
    // save a fifth of the time for 3-4 % more bytes (figures from bench/, CPU time).
    int level = 3;
    bool adaptiveFilters = false; // all five filters, chosen per row; otherwise "sub" only
};

// 24-bit colour; 32-bit colour with alpha for images that have an alpha channel.
QByteArray EncodePng(const QImage& image, const PngOptions& options = {});

// The same pixels for pictures without alpha, written in one pass: rows "sub"-filtered into
// one buffer that libdeflate compresses at once (several times zlib's speed at its fastest
// level, and smaller). Pictures with alpha go to EncodePng.
QByteArray EncodePngQuick(const QImage& image, int level = 1);

enum class ChromaSubsampling
{
    S420,
    S444
};
// Baseline JPEG with the accurate DCT; quality is clamped to 1-100.
QByteArray EncodeJpeg(const QImage& image, int quality,
                      ChromaSubsampling subsampling = ChromaSubsampling::S420);

// 256 colours chosen by libimagequant, dithered; transparency is flattened.
QByteArray EncodeGif(const QImage& image);

// Uncompressed, bottom-up, 24 bits per pixel, with the 54-byte header.
QByteArray EncodeBmp(const QImage& image);

// The image as 32-bit pixels in the layout the encoders read (B, G, R, X in memory on
// little-endian), converted once only when it is in another format.
QImage AsRgb32(const QImage& image);

} // namespace tarvo::codecs
