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

bool InsidePicture(const QRect& r, int width, int height)
{
    // QImage::copy pads a rectangle reaching outside with black and copies the whole image for
    // an empty one; neither is a fragment of the screen.
    if (r.x() < 0 || r.y() < 0 || r.width() <= 0 || r.height() <= 0) return false;
    return std::int64_t(r.x()) + r.width() <= width && std::int64_t(r.y()) + r.height() <= height;
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
