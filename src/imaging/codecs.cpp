#include "imaging/codecs.h"

#include "net/log.h"
#include "platform/big_buffer.h"
#include "platform/hresult.h"

#include <csetjmp>
#include <cstring>
#include <gif_lib.h>
#include <libdeflate.h>
#include <libimagequant.h>
#include <limits>
#include <memory>
#include <new>
#include <png.h>
#include <turbojpeg.h>

namespace tarvo::codecs {

namespace {

[[noreturn]] void fail()
{
    ThrowHr(E_FAIL);
}

// Running out of memory is an encoder failure like any other; the reason gets a line of its own.
[[noreturn]] void outOfMemory()
{
    LogText(u"Encoder ran out of memory");
    ThrowHr(E_FAIL);
}

// --- PNG -----------------------------------------------------------------------------------

struct PngSink
{
    QByteArray* out;
    bool outOfMemory = false;
};

void pngWrite(png_structp png, png_bytep data, png_size_t length)
{
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    try {
        sink->out->append(reinterpret_cast<const char*>(data), qsizetype(length));
    } catch (...) {
        sink->outOfMemory = true;
        png_error(png, "out of memory");
    }
}

void pngFlush(png_structp) {}

void pngQuietWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp: everything between setjmp and the calls that may jump is
// kept trivially destructible, and the rows are read straight from the image.
bool writePng(png_structp png, png_infop info, const QImage& img, bool alpha,
              const PngOptions& options)
{
    if (setjmp(png_jmpbuf(png))) return false;
    const auto width = png_uint_32(img.width());
    const auto height = png_uint_32(img.height());
    png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, options.level);
    png_set_filter(png, PNG_FILTER_TYPE_BASE,
                   options.adaptiveFilters ? PNG_ALL_FILTERS : PNG_FILTER_SUB);
    png_write_info(png, info);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    // QImage's 32-bit pixels sit in memory as B, G, R, A/X.
    png_set_bgr(png);
    if (!alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
#else
    // ... and as A/X, R, G, B on big-endian machines.
    if (alpha)
        png_set_swap_alpha(png);
    else
        png_set_filler(png, 0, PNG_FILLER_BEFORE);
#endif
    for (png_uint_32 y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(img.constScanLine(int(y))));
    png_write_end(png, info);
    return true;
}

// --- GIF -----------------------------------------------------------------------------------

int gifWrite(GifFileType* gif, const GifByteType* data, int length)
{
    auto* out = static_cast<QByteArray*>(gif->UserData);
    try {
        out->append(reinterpret_cast<const char*>(data), length);
    } catch (...) {
        return 0; // giflib turns a short write into an error
    }
    return length;
}

struct LiqAttrFree
{
    void operator()(liq_attr* p) const { liq_attr_destroy(p); }
};
struct LiqImageFree
{
    void operator()(liq_image* p) const { liq_image_destroy(p); }
};
struct LiqResultFree
{
    void operator()(liq_result* p) const { liq_result_destroy(p); }
};
struct GifMapFree
{
    void operator()(ColorMapObject* p) const { GifFreeMapObject(p); }
};

} // namespace

QImage AsRgb32(const QImage& image)
{
    if (image.format() == QImage::Format_RGB32) return image;
    // Anything with transparency is flattened over white, as a bitmap on a page would be.
    if (image.hasAlphaChannel()) {
        QImage out(image.size(), QImage::Format_RGB32);
        if (out.isNull()) return out;
        out.fill(Qt::white);
        QImage src = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < out.height(); ++y) {
            const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
            auto* d = reinterpret_cast<QRgb*>(out.scanLine(y));
            for (int x = 0; x < out.width(); ++x) {
                // Premultiplied: colour + white * (1 - alpha).
                const QRgb p = s[x];
                const int k = 255 - qAlpha(p);
                d[x] = qRgb(qRed(p) + k, qGreen(p) + k, qBlue(p) + k);
            }
        }
        return out;
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

QByteArray EncodePng(const QImage& image, const PngOptions& options)
{
    if (image.isNull()) fail();
    const bool alpha = image.hasAlphaChannel();
    const QImage img = alpha ? image.convertToFormat(QImage::Format_ARGB32) : AsRgb32(image);
    if (img.isNull()) outOfMemory();

    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, pngQuietWarning);
    if (!png) outOfMemory();
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        outOfMemory();
    }
    QByteArray out;
    PngSink sink{&out};
    png_set_write_fn(png, &sink, pngWrite, pngFlush);
    const bool ok = writePng(png, info, img, alpha, options);
    png_destroy_write_struct(&png, &info);
    if (sink.outOfMemory) outOfMemory();
    if (!ok) fail();
    return out;
}

namespace {

struct CompressorFree
{
    void operator()(libdeflate_compressor* p) const { libdeflate_free_compressor(p); }
};

void putBe32(char* at, std::uint32_t v)
{
    at[0] = char(v >> 24);
    at[1] = char(v >> 16);
    at[2] = char(v >> 8);
    at[3] = char(v);
}

// Appends a chunk: length, type, data, and the CRC of type and data.
void appendChunk(QByteArray& out, const char (&type)[5], const char* data, std::size_t length)
{
    char head[8];
    putBe32(head, std::uint32_t(length));
    std::memcpy(head + 4, type, 4);
    out.append(head, 8);
    out.append(data, qsizetype(length));
    std::uint32_t crc = libdeflate_crc32(0, type, 4);
    if (length > 0) crc = libdeflate_crc32(crc, data, length); // null data means "start"
    char tail[4];
    putBe32(tail, crc);
    out.append(tail, 4);
}

} // namespace

QByteArray EncodePngQuick(const QImage& image, int level)
{
    if (image.isNull()) fail();
    if (image.hasAlphaChannel()) return EncodePng(image);
    const QImage img = AsRgb32(image);
    if (img.isNull()) outOfMemory();
    const std::size_t w = std::size_t(img.width());
    const std::size_t h = std::size_t(img.height());
    const std::size_t rowBytes = 1 + 3 * w;
    if (w > 0x7FFFFFFF / 3 || h > std::numeric_limits<std::size_t>::max() / rowBytes) fail();

    // Each row: filter type 1 ("sub"), then every byte minus the same channel one pixel left.
    platform::BigBuffer filtered(rowBytes * h);
    if (!filtered.data()) outOfMemory();
    for (std::size_t y = 0; y < h; ++y) {
        const auto* s = reinterpret_cast<const QRgb*>(img.constScanLine(int(y)));
        unsigned char* d = filtered.data() + y * rowBytes;
        *d++ = 1;
        int r0 = 0, g0 = 0, b0 = 0;
        for (std::size_t x = 0; x < w; ++x) {
            const int r = qRed(s[x]), g = qGreen(s[x]), b = qBlue(s[x]);
            *d++ = static_cast<unsigned char>(r - r0);
            *d++ = static_cast<unsigned char>(g - g0);
            *d++ = static_cast<unsigned char>(b - b0);
            r0 = r;
            g0 = g;
            b0 = b;
        }
    }

    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(
        libdeflate_alloc_compressor(qBound(1, level, 12)));
    if (!compressor) outOfMemory();
    const std::size_t bound = libdeflate_zlib_compress_bound(compressor.get(), rowBytes * h);
    if (bound > std::size_t(std::numeric_limits<qsizetype>::max()) - 128) fail();

    QByteArray out;
    out.reserve(qsizetype(bound) + 128);
    platform::PreferHugePages(out.data(), std::size_t(out.capacity()));
    out.append("\x89PNG\r\n\x1a\n", 8);
    char ihdr[13];
    putBe32(ihdr, std::uint32_t(w));
    putBe32(ihdr + 4, std::uint32_t(h));
    ihdr[8] = 8;  // bits per channel
    ihdr[9] = 2;  // truecolour
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // adaptive filtering (each row names its filter)
    ihdr[12] = 0; // not interlaced
    appendChunk(out, "IHDR", ihdr, sizeof ihdr);
    // The IDAT chunk is compressed in place, between its head and its CRC: no second buffer.
    const qsizetype head = out.size();
    out.resize(head + 8 + qsizetype(bound));
    char* idat = out.data() + head + 8;
    const std::size_t size =
        libdeflate_zlib_compress(compressor.get(), filtered.data(), rowBytes * h, idat, bound);
    if (size == 0 || size > 0x7FFFFFFF) fail();
    filtered.reset();
    putBe32(out.data() + head, std::uint32_t(size));
    std::memcpy(out.data() + head + 4, "IDAT", 4);
    char crc[4];
    putBe32(crc, libdeflate_crc32(0, out.constData() + head + 4, size + 4));
    out.resize(head + 8 + qsizetype(size));
    out.append(crc, 4);
    appendChunk(out, "IEND", nullptr, 0);
    out.squeeze(); // the bound is far above what most pictures need
    return out;
}

QByteArray EncodeJpeg(const QImage& image, int quality, ChromaSubsampling subsampling)
{
    if (image.isNull()) fail();
    const QImage img = AsRgb32(image);
    if (img.isNull()) outOfMemory();
    tjhandle tj = tjInitCompress();
    if (!tj) fail();
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    constexpr int pixelFormat = TJPF_BGRX;
#else
    constexpr int pixelFormat = TJPF_XRGB;
#endif
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(tj, img.constBits(), img.width(), int(img.bytesPerLine()),
                               img.height(), pixelFormat, &buffer, &size,
                               subsampling == ChromaSubsampling::S444 ? TJSAMP_444 : TJSAMP_420,
                               qBound(1, quality, 100), TJFLAG_ACCURATEDCT);
    tjDestroy(tj);
    if (rc != 0 || !buffer) {
        tjFree(buffer);
        fail();
    }
    QByteArray out;
    try {
        out = QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size));
    } catch (...) {
        tjFree(buffer);
        throw;
    }
    tjFree(buffer);
    return out;
}

QByteArray EncodeGif(const QImage& image)
{
    if (image.isNull()) fail();
    if (image.width() > 0xFFFF || image.height() > 0xFFFF) fail(); // 16-bit sizes in GIF
    // libimagequant reads R, G, B, A bytes.
    const QImage rgba = AsRgb32(image).convertToFormat(QImage::Format_RGBA8888);
    if (rgba.isNull()) outOfMemory();
    const int w = rgba.width();
    const int h = rgba.height();

    std::unique_ptr<liq_attr, LiqAttrFree> attr(liq_attr_create());
    if (!attr) outOfMemory();
    liq_set_max_colors(attr.get(), 256);
    liq_set_speed(attr.get(), 5);
    // The rows must stay valid while the quantiser works: they belong to `rgba`.
    std::unique_ptr<unsigned char*[]> rows(new unsigned char*[size_t(h)]);
    for (int y = 0; y < h; ++y)
        rows[size_t(y)] = const_cast<unsigned char*>(rgba.constScanLine(y));
    std::unique_ptr<liq_image, LiqImageFree> liqImage(
        liq_image_create_rgba_rows(attr.get(), reinterpret_cast<void**>(rows.get()), w, h, 0));
    if (!liqImage) fail();
    liq_result* rawResult = nullptr;
    if (liq_image_quantize(liqImage.get(), attr.get(), &rawResult) != LIQ_OK || !rawResult) fail();
    std::unique_ptr<liq_result, LiqResultFree> result(rawResult);
    liq_set_dithering_level(result.get(), 1.0f);
    QByteArray indices(qsizetype(w) * h, Qt::Uninitialized);
    if (liq_write_remapped_image(result.get(), liqImage.get(), indices.data(),
                                 size_t(indices.size())) != LIQ_OK)
        fail();
    const liq_palette* palette = liq_get_palette(result.get());
    if (!palette || palette->count == 0 || palette->count > 256) fail();

    // GIF colour tables hold a power of two entries.
    int tableSize = 2;
    while (tableSize < int(palette->count))
        tableSize *= 2;
    std::unique_ptr<ColorMapObject, GifMapFree> map(GifMakeMapObject(tableSize, nullptr));
    if (!map) outOfMemory();
    for (int i = 0; i < tableSize; ++i) {
        const liq_color c = i < int(palette->count) ? palette->entries[i] : liq_color{0, 0, 0, 0};
        map->Colors[i] = GifColorType{c.r, c.g, c.b};
    }

    QByteArray out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, gifWrite, &error);
    if (!gif) fail();
    bool ok = EGifPutScreenDesc(gif, w, h, map->BitsPerPixel, 0, map.get()) == GIF_OK &&
              EGifPutImageDesc(gif, 0, 0, w, h, false, nullptr) == GIF_OK;
    auto* line = reinterpret_cast<GifPixelType*>(indices.data());
    for (int y = 0; ok && y < h; ++y, line += w)
        ok = EGifPutLine(gif, line, w) == GIF_OK;
    if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
    if (!ok) fail();
    return out;
}

QByteArray EncodeBmp(const QImage& image)
{
    if (image.isNull()) fail();
    const QImage img = AsRgb32(image);
    if (img.isNull()) outOfMemory();
    const qint64 w = img.width();
    const qint64 h = img.height();
    const qint64 stride = (w * 3 + 3) & ~qint64(3);
    const qint64 total = 54 + stride * h;
    // The header's sizes are 32-bit.
    if (total > std::numeric_limits<std::int32_t>::max()) fail();

    QByteArray out(qsizetype(total), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    auto put16 = [](unsigned char* at, std::uint32_t v) {
        at[0] = v & 0xFF;
        at[1] = (v >> 8) & 0xFF;
    };
    auto put32 = [](unsigned char* at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            at[i] = (v >> (8 * i)) & 0xFF;
    };
    p[0] = 'B';
    p[1] = 'M';
    put32(p + 2, std::uint32_t(total));
    put32(p + 10, 54); // offset of the pixels
    put32(p + 14, 40); // BITMAPINFOHEADER
    put32(p + 18, std::uint32_t(w));
    put32(p + 22, std::uint32_t(h));          // positive: bottom-up rows
    put16(p + 26, 1);                         // planes
    put16(p + 28, 24);                        // bits per pixel
    put32(p + 34, std::uint32_t(stride * h)); // image size
    put32(p + 38, 2835);                      // 72 dpi
    put32(p + 42, 2835);
    unsigned char* row = p + 54;
    for (qint64 y = h - 1; y >= 0; --y, row += stride) {
        const auto* s = reinterpret_cast<const QRgb*>(img.constScanLine(int(y)));
        for (qint64 x = 0; x < w; ++x) {
            row[3 * x] = qBlue(s[x]);
            row[3 * x + 1] = qGreen(s[x]);
            row[3 * x + 2] = qRed(s[x]);
        }
    }
    return out;
}

} // namespace tarvo::codecs
