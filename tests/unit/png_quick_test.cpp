// The one-pass PNG writer of saved and pasted pictures: every pixel comes back, at every size
// and from every input format, and a picture with alpha keeps it.
#include "imaging/codecs.h"
#include "platform/hresult.h"
#include "support/helpers.h"

#include <QBuffer>
#include <QImageReader>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

QImage decode(const QByteArray& png)
{
    QBuffer buffer;
    buffer.setData(png);
    QImageReader reader(&buffer, "png");
    return reader.read();
}

TEST(EncodePngQuick, EverySizeDecodesToTheSamePixels)
{
    const QSize sizes[] = {{1, 1}, {2, 1}, {1, 2}, {3, 3}, {801, 500}, {1, 1000}, {1601, 7}};
    for (const QSize& size : sizes) {
        const QImage img = test::Pattern(size.width(), size.height());
        const QByteArray png = codecs::EncodePngQuick(img);
        ASSERT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n")) << size.width() << "x" << size.height();
        const QImage back = decode(png);
        ASSERT_FALSE(back.isNull()) << "libpng refused " << size.width() << "x" << size.height();
        EXPECT_FALSE(back.hasAlphaChannel());
        EXPECT_TRUE(test::SamePixels(back.convertToFormat(QImage::Format_RGB32), img))
            << size.width() << "x" << size.height();
    }
}

TEST(EncodePngQuick, EveryLevelAndInputFormatGivesThePixels)
{
    const QImage img = test::Pattern(97, 61);
    for (const int level : {1, 6, 12}) {
        EXPECT_TRUE(test::SamePixels(
            decode(codecs::EncodePngQuick(img, level)).convertToFormat(QImage::Format_RGB32), img))
            << "level " << level;
    }
    for (const QImage::Format f : {QImage::Format_RGB888, QImage::Format_RGB16,
                                   QImage::Format_Grayscale8, QImage::Format_BGR30}) {
        const QImage converted = img.convertToFormat(f);
        EXPECT_TRUE(test::SamePixels(
            decode(codecs::EncodePngQuick(converted)).convertToFormat(QImage::Format_RGB32),
            converted.convertToFormat(QImage::Format_RGB32)))
            << "format " << f;
    }
}

TEST(EncodePngQuick, AlphaIsKeptAndNothingIsAnError)
{
    QImage img(5, 4, QImage::Format_ARGB32);
    img.fill(qRgba(10, 20, 30, 128));
    const QImage back = decode(codecs::EncodePngQuick(img));
    ASSERT_TRUE(back.hasAlphaChannel());
    EXPECT_EQ(back.convertToFormat(QImage::Format_ARGB32).pixel(2, 2), qRgba(10, 20, 30, 128));
    EXPECT_THROW(codecs::EncodePngQuick(QImage()), ComError);
}

} // namespace
} // namespace tarvo
