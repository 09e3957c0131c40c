#include "platform/frozen_screen.h"

#include <cstdint>
#include <malloc.h>
#include <utility>

namespace tarvo::platform {

namespace {

class ImageScreen : public FrozenScreen
{
public:
    ImageScreen(QImage image, const QRect& area) : image_(std::move(image)), area_(area) {}

    QRect Area() const override { return area_; }
    QImage Pixels(const QRect& r) const override
    {
        if (!InsidePicture(r, image_.width(), image_.height())) return {};
        return image_.copy(r);
    }
    QImage Image() const override { return image_; }

private:
    QImage image_;
    QRect area_;
};

} // namespace

bool InsidePicture(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h, int width,
                   int height)
{
    // QImage::copy pads a rectangle reaching outside with black and copies the whole image for
    // an empty one; neither is a fragment of the screen.
    if (x < 0 || y < 0 || w <= 0 || h <= 0) return false;
    return x + w <= width && y + h <= height;
}

std::unique_ptr<FrozenScreen> FreezeImage(QImage image, const QRect& area)
{
    if (image.isNull()) return nullptr;
    return std::make_unique<ImageScreen>(std::move(image), area);
}

void GiveBackFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace tarvo::platform
