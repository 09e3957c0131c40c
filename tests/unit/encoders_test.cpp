#include "imaging/encoders.h"
#include "net/log.h"
#include "platform/hresult.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

HRESULT errorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ComError& e) {
        return e.Error();
    }
    return S_OK;
}

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
        EXPECT_EQ(errorOf([&] { FindEncoder(QStringView(unknown)); }), E_NOT_FOUND)
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
        if (c.lossless)
            EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), src);
        else
            EXPECT_LT(meanAbsDifference(back, src), 4.0);
    }
}

TEST(EncodeToStream, ColourChannelsKeepTheirPlace)
{
    const QRgb colours[] = {qRgb(220, 20, 20), qRgb(20, 220, 20), qRgb(20, 20, 220)};
    for (const QRgb c : colours) {
        QImage src(32, 32, QImage::Format_RGB32);
        src.fill(c);
        for (const char16_t* mime : {u"image/png", u"image/jpeg", u"image/gif", u"image/bmp"}) {
            const QRgb got =
                decode(EncodeToStream(src, 90, QStringView(mime)), nullptr).pixel(16, 16);
            EXPECT_NEAR(qRed(got), qRed(c), 3) << QString::fromUtf16(mime).toStdString();
            EXPECT_NEAR(qGreen(got), qGreen(c), 3) << QString::fromUtf16(mime).toStdString();
            EXPECT_NEAR(qBlue(got), qBlue(c), 3) << QString::fromUtf16(mime).toStdString();
        }
    }
}

TEST(EncodeToStream, BmpIs24BitWithTheClassicHeader)
{
    const QImage src = screenLike(5, 3); // 15 bytes a row, padded to 16
    const QByteArray bmp = EncodeToStream(src, 0, u"image/bmp");
    ASSERT_EQ(bmp.size(), 54 + 16 * 3);
    EXPECT_TRUE(bmp.startsWith("BM"));
    auto le = [&](int at, int n) {
        quint32 v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | quint8(bmp[at + i]);
        return v;
    };
    EXPECT_EQ(le(2, 4), quint32(bmp.size()));
    EXPECT_EQ(le(10, 4), 54u);
    EXPECT_EQ(le(28, 2), 24u);
    // Bottom-up: the file's first pixel is the image's bottom-left one, as B, G, R.
    const QRgb p = src.pixel(0, 2);
    EXPECT_EQ(quint8(bmp[54]), qBlue(p));
    EXPECT_EQ(quint8(bmp[55]), qGreen(p));
    EXPECT_EQ(quint8(bmp[56]), qRed(p));
}

TEST(EncodeToStream, GifKeepsAFewColoursExactly)
{
    QImage src(40, 30, QImage::Format_RGB32);
    src.fill(Qt::white);
    QPainter p(&src);
    p.fillRect(0, 0, 20, 15, QColor(200, 10, 10));
    p.fillRect(20, 15, 20, 15, QColor(10, 10, 200));
    p.fillRect(5, 20, 10, 5, QColor(0, 128, 0));
    p.end();
    const QImage back = decode(EncodeToStream(src, 0, u"image/gif"), "GIF");
    ASSERT_FALSE(back.isNull());
    EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), src);
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
        EXPECT_EQ(errorOf([&] { EncodeToStream(QImage(), 90, QStringView(mime)); }), E_FAIL)
            << QString::fromUtf16(mime).toStdString();
    EXPECT_EQ(errorOf([] { EncodeToStream(screenLike(), 90, u"image/webp"); }), E_NOT_FOUND);
    // GIF sizes are 16-bit.
    EXPECT_EQ(
        errorOf([] { EncodeToStream(QImage(70000, 1, QImage::Format_RGB32), 0, u"image/gif"); }),
        E_FAIL);
}

TEST(EncodeToStream, LogsTheEncoderAndQuality)
{
    QTemporaryDir dir;
    const QString log = dir.path() + "/t.log";
    ASSERT_TRUE(OpenLog(log));
    EncodeToStream(screenLike(), 85, u"image/jpeg");
    EncodeImage(screenLike(), 75, u"image/png"); // the quiet variant writes nothing
    CloseLog();
    QFile f(log);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(": Using encoder: image/jpeg, quality: 85"))
        << lines[0].toStdString();
}

} // namespace
} // namespace tarvo
