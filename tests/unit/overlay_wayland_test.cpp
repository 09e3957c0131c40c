// The arithmetic of the per-output overlay windows of a Wayland session: which frozen-image pixel a
// window-local position is, where each screen's part of the image lies, and the clipboard's
// offered types and encodings.
#include "capture/overlay_wayland.h"
#include "platform/wayland/data_control.h"

#include <QBuffer>
#include <QImageReader>
#include <algorithm>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

const OutputPlacement kLeft1{"HEADLESS-1", {0, 0, 640, 480}, {0, 0, 640, 480}};
const OutputPlacement kRight1{"HEADLESS-2", {640, 0, 640, 480}, {640, 0, 640, 480}};
// A scale-2 output: 400x300 logical pixels shown by 800x600 of the image.
const OutputPlacement kHiDpi{"HEADLESS-1", {0, 0, 400, 300}, {0, 0, 800, 600}};
const OutputPlacement kHiDpiRight{"HEADLESS-2", {400, 0, 400, 300}, {800, 0, 800, 600}};

struct PixelCase
{
    const char* name;
    OutputPlacement output;
    QPointF local;
    QPoint expected;
};

TEST(OverlayWayland, ImagePixelAtMapsLocalPositionsThroughTheOutputsPlace)
{
    const PixelCase cases[] = {
        {"origin", kLeft1, {0, 0}, {0, 0}},
        {"scale 1, fraction falls to its pixel", kLeft1, {10.75, 20.25}, {10, 20}},
        {"second output is offset", kRight1, {5, 7}, {645, 7}},
        {"scale 2, whole logical pixel", kHiDpi, {100, 50}, {200, 100}},
        // Wayland reports 1/256 logical pixels: half a logical pixel is the odd device pixel.
        {"scale 2, half pixel", kHiDpi, {100.5, 50.5}, {201, 101}},
        {"scale 2, just under a half", kHiDpi, {100.49609375, 0}, {200, 0}},
        {"scale 2, last pixel", kHiDpi, {399.75, 299.75}, {799, 599}},
        // The pressed window keeps the pointer during the drag: beyond its right edge lies the
        // next output, beyond its left edge negative positions.
        {"beyond the right edge", kLeft1, {700, 10}, {700, 10}},
        {"beyond the left edge", kRight1, {-40, 10}, {600, 10}},
        {"scale 2, beyond the right edge", kHiDpi, {450, 10}, {900, 20}},
        {"scale 2 second output, to the left", kHiDpiRight, {-10.5, 3}, {779, 6}},
    };
    for (const PixelCase& c : cases)
        EXPECT_EQ(ImagePixelAt(c.output, c.local), c.expected) << c.name;
}

TEST(OverlayWayland, ClampToAreaKeepsTheLastRowAndColumnInside)
{
    const CaptureArea area{0, 0, 1280, 480};
    EXPECT_EQ(ClampToArea({-5, 10}, area), QPoint(0, 10));
    EXPECT_EQ(ClampToArea({1280, 480}, area), QPoint(1279, 479));
    EXPECT_EQ(ClampToArea({2000, -1}, area), QPoint(1279, 0));
    EXPECT_EQ(ClampToArea({640, 240}, area), QPoint(640, 240));
    const CaptureArea offset{100, 50, 200, 150};
    EXPECT_EQ(ClampToArea({0, 0}, offset), QPoint(100, 50));
    // An empty area is no bound at all (there is nothing to clamp to).
    EXPECT_EQ(ClampToArea({7, 8}, CaptureArea{}), QPoint(7, 8));
}

TEST(OverlayWayland, ImageToWindowShiftsOneToOneAndScalesOtherwise)
{
    // The window shows exactly its output's pixels: only the output's origin moves.
    EXPECT_EQ(ImageToWindow(kRight1, {640, 480}, {600, 10, 100, 20}), QRect(-40, 10, 100, 20));
    EXPECT_EQ(ImageToWindow(kHiDpiRight, {800, 600}, {810, 2, 4, 4}), QRect(10, 2, 4, 4));
    // A copy at a larger scale than the window's: the rectangle shrinks, rounded outwards.
    const OutputPlacement coarse{"X", {0, 0, 400, 300}, {0, 0, 800, 600}};
    EXPECT_EQ(ImageToWindow(coarse, {400, 300}, {11, 11, 10, 10}), QRect(5, 5, 6, 6));
}

TEST(OverlayWayland, PlaceScreensPrefersTheNameThenTheRectangleThenTheScale)
{
    const std::vector<OutputPlacement> outputs{kHiDpi, kHiDpiRight};
    struct Case
    {
        const char* name;
        std::pair<QString, QRect> screen;
        OutputPlacement expected;
    };
    const Case cases[] = {
        {"by name, whatever the geometry", {"HEADLESS-2", {0, 0, 1, 1}}, kHiDpiRight},
        {"by logical rectangle", {"", {400, 0, 400, 300}}, kHiDpiRight},
        {"unknown name, same rectangle", {"DP-9", {0, 0, 400, 300}}, kHiDpi},
        {"unknown: the rectangle at the scale",
         {"DP-9", {800, 0, 100, 50}},
         {"DP-9", {800, 0, 100, 50}, {1600, 0, 200, 100}}},
    };
    for (const Case& c : cases) {
        const auto placed = PlaceScreens({c.screen}, outputs, 2.0);
        ASSERT_EQ(placed.size(), 1u) << c.name;
        EXPECT_EQ(placed[0], c.expected) << c.name;
    }
    // Without outputs from the copy every screen is placed at the one scale, in order.
    const auto placed = PlaceScreens({{"A", {0, 0, 640, 480}}, {"B", {640, 0, 640, 480}}}, {}, 1.0);
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_EQ(placed[1].device, QRect(640, 0, 640, 480));
}

TEST(OverlayWayland, PlaceOutputsPutsTheCopysRectanglesBackIntoTheLayout)
{
    using platform::wayland::WaylandOutput;
    // Two scale-2 outputs side by side, the layout starting left of the origin.
    const auto two = PlaceOutputs(
        {WaylandOutput{"A", {0, 0, 800, 600}, 2}, WaylandOutput{"B", {800, 0, 800, 600}, 2}},
        {-400, 0});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], (OutputPlacement{"A", {-400, 0, 400, 300}, {0, 0, 800, 600}}));
    EXPECT_EQ(two[1], (OutputPlacement{"B", {0, 0, 400, 300}, {800, 0, 800, 600}}));
    // A scale-1 output beside a scale-2 one is enlarged in the copy: its logical size is the
    // copy's divided by the largest scale, not by its own.
    const auto mixed = PlaceOutputs(
        {WaylandOutput{"A", {0, 0, 800, 600}, 2}, WaylandOutput{"B", {800, 0, 1280, 960}, 1}},
        {0, 0});
    ASSERT_EQ(mixed.size(), 2u);
    EXPECT_EQ(mixed[1].logical, QRect(400, 0, 640, 480));
    EXPECT_TRUE(PlaceOutputs({}, {}).empty());
}

TEST(WaylandClipboard, OffersUtf8TextFirstAndPngFirst)
{
    const auto text = platform::wayland::TextMimeTypes();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), "text/plain;charset=utf-8");
    EXPECT_NE(std::find(text.begin(), text.end(), "UTF8_STRING"), text.end());
    const auto image = platform::wayland::ImageMimeTypes();
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.front(), "image/png");
    EXPECT_EQ(std::count(image.begin(), image.end(), "image/png"), 1);
    for (const QByteArray& t : image)
        EXPECT_TRUE(t.startsWith("image/")) << t.constData();
}

TEST(WaylandClipboard, EncodesThePictureLosslesslyAsPngAndNothingForOtherTypes)
{
    QImage image(7, 5, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 30, y * 50, x ^ y));
    const QByteArray png = platform::wayland::EncodeImageAs(image, "image/png");
    ASSERT_FALSE(png.isEmpty());
    QImage back;
    ASSERT_TRUE(back.loadFromData(png, "PNG"));
    EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), image);
    EXPECT_TRUE(platform::wayland::EncodeImageAs(image, "text/plain").isEmpty());
    EXPECT_TRUE(platform::wayland::EncodeImageAs(image, "image/x-no-such-type").isEmpty());
}

} // namespace
} // namespace tarvo
