#pragma once
// Small helpers that several test files share.
#include "platform/hresult.h"

#include <QImage>
#include <functional>

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

} // namespace tarvo::test
