#pragma once
// Small helpers that several test files share.
#include "platform/hresult.h"

#include <QImage>
#include <functional>
#include <sstream>
#include <string>

namespace tarvo::test {

// The HRESULT a call throws, or S_OK when it returns.
inline HRESULT ErrorOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const ComError& e) {
        return e.Error();
    }
    return S_OK;
}

// A picture whose every pixel differs from its neighbours, so a shifted or cut copy shows.
inline QImage Pattern(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 3) & 0xFF, (y * 5) & 0xFF, ((x ^ y) * 7) & 0xFF));
    return img;
}

// Pixel values only: a loaded PNG carries a colour space that a screen copy has not. *where,
// when given, receives the first difference.
inline bool SamePixels(const QImage& a, const QImage& b, std::string* where = nullptr)
{
    if (a.size() != b.size()) {
        if (where) {
            std::ostringstream s;
            s << "sizes differ: " << a.width() << "x" << a.height() << " and " << b.width() << "x"
              << b.height();
            *where = s.str();
        }
        return false;
    }
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col)
            if ((p[col] & 0xFFFFFFu) != (q[col] & 0xFFFFFFu)) {
                if (where) {
                    std::ostringstream s;
                    s << "first difference at (" << col << ", " << row << "): " << std::hex
                      << (p[col] & 0xFFFFFFu) << " and " << (q[col] & 0xFFFFFFu);
                    *where = s.str();
                }
                return false;
            }
    }
    return true;
}

} // namespace tarvo::test
