#include "imaging/codecs.h"
#include "imaging/encoders.h"
#include "platform/hresult.h"
#include "support/helpers.h"

#include <QBuffer>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

// Odd width and height, so row padding and strides are exercised; flat areas, a gradient and
// (for the lossless formats) noise, like a piece of a screen.
QImage screenLike(int w = 37, int h = 23, bool noise = true)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(30, 60, 90));
    QRandomGenerator rng(7);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (x < w / 3)
                img.setPixel(x, y, qRgb(x * 255 / w, y * 255 / h, 128));
            else if (noise && x > 2 * w / 3)
                img.setPixel(x, y, rng.generate() | 0xFF000000u);
        }
    return img;
}

QImage decode(const QByteArray& bytes, const char* format)
{
    QImage out;
    out.loadFromData(bytes, format);
    return out;
}

double meanAbsDifference(const QImage& a, const QImage& b)
{
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int r = 0; r < x.height(); ++r)
        for (int c = 0; c < x.width(); ++c) {
            const QRgb p = x.pixel(c, r), q = y.pixel(c, r);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * x.width() * x.height());
}

TEST(FindEncoder, ListOrderAndWholeTextCaseSensitiveMatch)
{
    const struct
    {
        const char16_t* mime;
        int index;
    } known[] = {{u"image/png", 0}, {u"image/jpeg", 1}, {u"image/gif", 2}, {u"image/bmp", 3}};
    for (const auto& k : known)
        EXPECT_EQ(FindEncoder(QStringView(k.mime)), k.index);

    for (const char16_t* unknown :
         {u"IMAGE/PNG", u"image/PNG", u"image/jpg", u"image/tiff", u"", u"image/png ", u"image"})
        EXPECT_EQ(test::ErrorOf([&] { FindEncoder(QStringView(unknown)); }), E_NOT_FOUND)
            << QString::fromUtf16(unknown).toStdString();
}

TEST(EncodeToStream, EachFormatDecodesBackToTheSameImage)
{
    const struct
    {
        const char16_t* mime;
        const char* format;
        bool lossless;
    } cases[] = {{u"image/png", "PNG", true},
                 {u"image/bmp", "BMP", true},
                 {u"image/jpeg", "JPEG", false},
                 {u"image/gif", "GIF", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const QImage src = screenLike(37, 23, c.lossless);
        const QByteArray bytes = EncodeToStream(src, 90, QStringView(c.mime));
        const QImage back = decode(bytes, c.format);
        ASSERT_FALSE(back.isNull());
        EXPECT_EQ(back.size(), src.size());
        if (c.format == std::string("BMP")) { // 24-bit rows padded to 4 bytes, 54-byte header
            EXPECT_EQ(bytes.size(), 54 + 112 * 23);
        }
        if (c.lossless) {
            EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), src);
        } else {
            EXPECT_LT(meanAbsDifference(back, src), 4.0);
        }
    }
}

// Desktop content of the kinds a selection holds: text on flat panels, a smooth wallpaper, a
// photo with grain, a mix. The PNG holds the very same pixels, and where there is text or a
// photo it is no larger than the one libpng made at its level 3 before. (A smooth gradient on
// its own comes out larger; the upload tries libpng's before it goes to JPEG.)
QImage desktopPicture(int kind, int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(246, 246, 246));
    QRandomGenerator rng(uint(11 + kind));
    QPainter p(&img);
    if (kind == 0 || kind == 3) { // lines of text in a window: 48 glyphs of 7x11, repeated
        std::uint16_t glyphs[48][11];
        for (auto& g : glyphs)
            for (auto& row : g)
                row = std::uint16_t(rng.bounded(128));
        for (int y0 = 2; y0 + 11 <= h; y0 += 16)
            for (int x0 = 2; x0 + 8 <= w; x0 += 8) {
                const int c = int(rng.bounded(60));
                if (c >= 48) continue; // a space
                for (int y = 0; y < 11; ++y)
                    for (int x = 0; x < 7; ++x)
                        if (glyphs[c][y] >> x & 1) img.setPixel(x0 + x, y0 + y, qRgb(24, 24, 28));
            }
    }
    if (kind == 1 || kind == 3) { // wallpaper: a wide gradient
        QLinearGradient g(0, 0, w, h);
        g.setColorAt(0, QColor(30, 80, 140));
        g.setColorAt(1, QColor(200, 120, 60));
        p.fillRect(kind == 3 ? QRect(w / 2, 0, w / 2, h) : img.rect(), g);
    }
    p.end();
    if (kind == 2 || kind == 3) { // photo: shading with grain
        const QRect photo = kind == 3 ? QRect(0, h / 2, w / 2, h / 2) : img.rect();
        for (int y = photo.top(); y <= photo.bottom(); ++y)
            for (int x = photo.left(); x <= photo.right(); ++x) {
                const int n = int(rng.bounded(20)) - 10;
                img.setPixel(x, y,
                             qRgb(qBound(0, 80 + x * 100 / w + n, 255),
                                  qBound(0, 100 + y * 90 / h + n, 255), qBound(0, 90 + n, 255)));
            }
    }
    return img;
}

// The quick PNG costs at most a fifth more bytes than libpng's; the tighter level the upload
// tries next must make up for it.
TEST(EncodeToStream, PngIsWithinAFifthOfLibpngsAndHoldsTheSamePixels)
{
    const struct
    {
        int kind, w, h;
    } cases[] = {{0, 640, 400}, {1, 640, 400},  {2, 640, 400}, {3, 640, 400},
                 {0, 801, 93},  {3, 1024, 768}, {2, 97, 1201}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " " << c.w << "x" << c.h);
        const QImage src = desktopPicture(c.kind, c.w, c.h);
        const QByteArray bytes = EncodeToStream(src, 85, u"image/png");
        const QByteArray before = codecs::EncodePng(src, codecs::PngOptions{});
        if (c.kind != 1) {
            EXPECT_LE(bytes.size(), before.size() * 6 / 5);
            EXPECT_LE(codecs::EncodePngQuick(src, 5).size(), before.size());
        }
        EXPECT_EQ(decode(bytes, "PNG").convertToFormat(QImage::Format_RGB32), src);
    }
}

TEST(EncodeToStream, OtherPixelFormatsAreConverted)
{
    const QImage rgb = screenLike(37, 23, false);
    for (QImage::Format f : {QImage::Format_RGB888, QImage::Format_RGB16, QImage::Format_Grayscale8,
                             QImage::Format_Indexed8, QImage::Format_BGR30}) {
        SCOPED_TRACE(int(f));
        const QImage src = rgb.convertToFormat(f, Qt::ThresholdDither | Qt::AvoidDither);
        const QImage expected = src.convertToFormat(QImage::Format_RGB32);
        for (const char16_t* mime : {u"image/png", u"image/bmp"})
            EXPECT_EQ(decode(EncodeToStream(src, 0, QStringView(mime)), nullptr)
                          .convertToFormat(QImage::Format_RGB32),
                      expected);
        EXPECT_LT(
            meanAbsDifference(decode(EncodeToStream(src, 90, u"image/jpeg"), "JPEG"), expected),
            4.0);
    }
}

TEST(EncodeToStream, AlphaIsKeptInPngAndFlattenedOverWhiteElsewhere)
{
    QImage src(8, 4, QImage::Format_ARGB32);
    src.fill(qRgba(0, 0, 255, 255));
    src.setPixel(1, 1, qRgba(255, 0, 0, 0)); // fully transparent
    src.setPixel(2, 1, qRgba(0, 0, 0, 128)); // half-transparent black
    const QImage png = decode(EncodeToStream(src, 0, u"image/png"), "PNG");
    ASSERT_TRUE(png.hasAlphaChannel());
    EXPECT_EQ(png.convertToFormat(QImage::Format_ARGB32), src);

    const QImage bmp = decode(EncodeToStream(src, 0, u"image/bmp"), "BMP");
    EXPECT_EQ(bmp.pixel(0, 0), qRgb(0, 0, 255));
    EXPECT_EQ(bmp.pixel(1, 1), qRgb(255, 255, 255));
    EXPECT_NEAR(qRed(bmp.pixel(2, 1)), 127, 1);
}

TEST(EncodeToStream, JpegQualityIsHonoured)
{
    const QImage src = screenLike(200, 120);
    const QByteArray high = EncodeToStream(src, 95, u"image/jpeg");
    const QByteArray low = EncodeToStream(src, 40, u"image/jpeg");
    EXPECT_GT(high.size(), low.size() * 3 / 2);
    EXPECT_LT(meanAbsDifference(decode(high, "JPEG"), src),
              meanAbsDifference(decode(low, "JPEG"), src));
    // Out-of-range qualities are clamped, not rejected.
    EXPECT_FALSE(decode(EncodeToStream(src, 0, u"image/jpeg"), "JPEG").isNull());
    EXPECT_EQ(EncodeToStream(src, 1000, u"image/jpeg"), EncodeToStream(src, 100, u"image/jpeg"));
}

TEST(EncodeToStream, FailuresAreReported)
{
    for (const char16_t* mime : {u"image/png", u"image/jpeg", u"image/gif", u"image/bmp"})
        EXPECT_EQ(test::ErrorOf([&] { EncodeToStream(QImage(), 90, QStringView(mime)); }), E_FAIL)
            << QString::fromUtf16(mime).toStdString();
    EXPECT_EQ(test::ErrorOf([] { EncodeToStream(screenLike(), 90, u"image/webp"); }), E_NOT_FOUND);
    // GIF sizes are 16-bit.
    EXPECT_EQ(test::ErrorOf(
                  [] { EncodeToStream(QImage(70000, 1, QImage::Format_RGB32), 0, u"image/gif"); }),
              E_FAIL);
}

} // namespace
} // namespace tarvo
