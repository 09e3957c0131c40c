#pragma once
// The picture formats a fragment can be saved in: the store's "Image Format" value and the
// file name's extension, in the order the options dialog lists them.
#include <QStringView>
#include <array>

namespace tarvo {

struct ImageFormat
{
    QStringView mimeType;
    QStringView extension;
};

inline constexpr std::array<ImageFormat, 4> kImageFormats{{
    {u"image/png", u"png"},
    {u"image/jpeg", u"jpg"},
    {u"image/gif", u"gif"},
    {u"image/bmp", u"bmp"},
}};

} // namespace tarvo
