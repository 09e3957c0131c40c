#pragma once
// The screen as it was when a capture started. Either the pixels are held here (an image, the
// form every backend can give), or they stay with the display server and only the part the
// user selects is ever fetched (X11).
#include <QImage>
#include <QRect>
#include <cstdint>
#include <memory>

namespace tarvo::platform {

class FrozenScreen
{
public:
    virtual ~FrozenScreen() = default;
    FrozenScreen() = default;
    FrozenScreen(const FrozenScreen&) = delete;
    FrozenScreen& operator=(const FrozenScreen&) = delete;

    // The frozen rectangle in screen pixels.
    virtual QRect Area() const = 0;
    // The pixels of r, given relative to Area()'s top left, as Format_RGB32 (or the held
    // image's own format). Null when r has no size or is not wholly inside.
    virtual QImage Pixels(const QRect& r) const = 0;
    // The whole picture when it is held here; null for the server-side form.
    virtual QImage Image() const { return {}; }
};

// The image-backed form: `image` covers `area` pixel for pixel.
std::unique_ptr<FrozenScreen> FreezeImage(QImage image, const QRect& area);

// Whether the rectangle at (x, y) of w x h pixels has a size and lies wholly inside a picture
// of width x height. Wide integers: a QRect of such values could not even be formed.
bool InsidePicture(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h, int width,
                   int height);
inline bool InsidePicture(const QRect& r, int width, int height)
{
    return InsidePicture(r.x(), r.y(), r.width(), r.height(), width, height);
}

// Hands freed heap pages back to the system; after a capture, whose buffers are large.
void GiveBackFreedMemory();

} // namespace tarvo::platform
