// The pieces of the Wayland screen copy that need no compositor: reading the compositor's
// buffers, turning them upright and laying the outputs out.
#include "platform/wayland/portal_screenshot.h"
#include "platform/wayland/screen_copy.h"

#include <QDir>
#include <cstring>
#include <gtest/gtest.h>
#include <wayland-client-protocol.h>

namespace tarvo::platform::wayland {
namespace {

// Writes one pixel (r, g, b) in a wl_shm format, the alpha or padding byte set to junk.
void Put(uchar* p, uint32_t format, int r, int g, int b)
{
    uint32_t v = 0;
    switch (format) {
    case WL_SHM_FORMAT_XRGB8888:
    case WL_SHM_FORMAT_ARGB8888:
        v = 0x5a000000u | uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
        break;
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
        v = 0x5a000000u | uint32_t(b) << 16 | uint32_t(g) << 8 | uint32_t(r);
        break;
    case WL_SHM_FORMAT_XRGB2101010:
        v = 0x40000000u | uint32_t(r) << 22 | uint32_t(g) << 12 | uint32_t(b) << 2;
        break;
    case WL_SHM_FORMAT_XBGR2101010:
        v = 0x40000000u | uint32_t(b) << 22 | uint32_t(g) << 12 | uint32_t(r) << 2;
        break;
    default:
        break;
    }
    std::memcpy(p, &v, 4); // little-endian words, as the compositor writes them here
}

TEST(ShmToImage, ReadsEachFormatUprightAndOpaque)
{
    struct Case
    {
        uint32_t format;
        bool yInvert;
    };
    const Case cases[] = {
        {WL_SHM_FORMAT_XRGB8888, false},    {WL_SHM_FORMAT_ARGB8888, false},
        {WL_SHM_FORMAT_XBGR8888, false},    {WL_SHM_FORMAT_ABGR8888, true},
        {WL_SHM_FORMAT_XRGB2101010, false}, {WL_SHM_FORMAT_XBGR2101010, true},
        {WL_SHM_FORMAT_XRGB8888, true},
    };
    const int w = 3;
    const int h = 2;
    const int stride = 16; // wider than the row: the padding must be skipped
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "format 0x" << std::hex << c.format << " yInvert " << c.yInvert);
        std::vector<uchar> buffer(size_t(stride * h), 0xee);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int row = c.yInvert ? h - 1 - y : y;
                Put(&buffer[size_t(row * stride + x * 4)], c.format, 40 * x + 10, 100 * y + 20,
                    200);
            }
        const QImage img = ShmToImage(buffer.data(), w, h, stride, c.format, c.yInvert);
        ASSERT_EQ(img.size(), QSize(w, h));
        EXPECT_EQ(img.format(), QImage::Format_RGB32);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                EXPECT_EQ(img.pixel(x, y), qRgb(40 * x + 10, 100 * y + 20, 200))
                    << "at " << x << "," << y;
    }
}

TEST(ShmToImage, RefusesWhatItCannotRead)
{
    std::vector<uchar> buffer(64, 0);
    EXPECT_TRUE(ShmToImage(buffer.data(), 2, 2, 8, WL_SHM_FORMAT_RGB565, false).isNull());
    EXPECT_TRUE(ShmToImage(buffer.data(), 4, 2, 8, WL_SHM_FORMAT_XRGB8888, false).isNull())
        << "a stride shorter than the row";
    EXPECT_TRUE(ShmToImage(nullptr, 2, 2, 8, WL_SHM_FORMAT_XRGB8888, false).isNull());
}

TEST(ApplyOutputTransform, TurnsEveryTransformUpright)
{
    // The buffer as scanned out, 3x2:   a b c
    //                                   d e f
    QImage buffer(3, 2, QImage::Format_RGB32);
    const QRgb a = 0xff000001, b = 0xff000002, c = 0xff000003, d = 0xff000004, e = 0xff000005,
               f = 0xff000006;
    const QRgb px[2][3] = {{a, b, c}, {d, e, f}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            buffer.setPixel(x, y, px[y][x]);
    struct Case
    {
        int transform;
        std::vector<std::vector<QRgb>> rows;
    };
    const Case cases[] = {
        {WL_OUTPUT_TRANSFORM_NORMAL, {{a, b, c}, {d, e, f}}},
        {WL_OUTPUT_TRANSFORM_90, {{d, a}, {e, b}, {f, c}}},
        {WL_OUTPUT_TRANSFORM_180, {{f, e, d}, {c, b, a}}},
        {WL_OUTPUT_TRANSFORM_270, {{c, f}, {b, e}, {a, d}}},
        {WL_OUTPUT_TRANSFORM_FLIPPED, {{c, b, a}, {f, e, d}}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_90, {{f, c}, {e, b}, {d, a}}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_180, {{d, e, f}, {a, b, c}}},
        {WL_OUTPUT_TRANSFORM_FLIPPED_270, {{a, d}, {b, e}, {c, f}}},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(testing::Message() << "transform " << cs.transform);
        const QImage out = ApplyOutputTransform(buffer, cs.transform);
        ASSERT_EQ(out.height(), int(cs.rows.size()));
        ASSERT_EQ(out.width(), int(cs.rows[0].size()));
        for (int y = 0; y < out.height(); ++y)
            for (int x = 0; x < out.width(); ++x)
                EXPECT_EQ(out.pixel(x, y), cs.rows[size_t(y)][size_t(x)]) << x << "," << y;
    }
}

TEST(LayOutOutputs, PlacesOutputsAtTheLargestScale)
{
    struct Case
    {
        const char* name;
        std::vector<OutputGeometry> geometry;
        QRect area;
        std::vector<QRect> rects;
    };
    const Case cases[] = {
        {"one output",
         {{"A", QRect(0, 0, 640, 480), 1}},
         QRect(0, 0, 640, 480),
         {QRect(0, 0, 640, 480)}},
        {"one output at scale 2",
         {{"A", QRect(0, 0, 320, 240), 2}},
         QRect(0, 0, 640, 480),
         {QRect(0, 0, 640, 480)}},
        {"side by side, different heights",
         {{"A", QRect(0, 0, 640, 480), 1}, {"B", QRect(640, 0, 320, 240), 1}},
         QRect(0, 0, 960, 480),
         {QRect(0, 0, 640, 480), QRect(640, 0, 320, 240)}},
        {"layout not at the origin, one output left of it",
         {{"A", QRect(0, 0, 100, 100), 1}, {"B", QRect(-200, 50, 200, 100), 1}},
         QRect(0, 0, 300, 150),
         {QRect(200, 0, 100, 100), QRect(0, 50, 200, 100)}},
        {"mixed scales: all at 2",
         {{"A", QRect(0, 0, 640, 480), 1}, {"B", QRect(640, 0, 320, 240), 2}},
         QRect(0, 0, 1920, 960),
         {QRect(0, 0, 1280, 960), QRect(1280, 0, 640, 480)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QRect area;
        const auto placed = LayOutOutputs(c.geometry, &area);
        EXPECT_EQ(area, c.area);
        ASSERT_EQ(placed.size(), c.rects.size());
        for (size_t i = 0; i < placed.size(); ++i) {
            EXPECT_EQ(placed[i].rect, c.rects[i]) << i;
            EXPECT_EQ(placed[i].name, c.geometry[i].name);
            EXPECT_EQ(placed[i].scale, c.geometry[i].scale);
        }
    }
    QRect area(1, 1, 1, 1);
    EXPECT_TRUE(LayOutOutputs({}, &area).empty());
    EXPECT_TRUE(area.isNull());
}

TEST(Portal, RequestPathAndTemporaryFiles)
{
    EXPECT_EQ(PortalRequestPath(":1.42", "tarvo1"),
              "/org/freedesktop/portal/desktop/request/1_42/tarvo1");
    EXPECT_EQ(PortalRequestPath(":1.2.3", "t"), "/org/freedesktop/portal/desktop/request/1_2_3/t");

    struct Case
    {
        QString path;
        bool temporary;
    };
    const Case cases[] = {
        {"/tmp/out.png", true},
        {QDir::tempPath() + "/screenshot.png", true},
        {"/tmpfoo/out.png", false}, // a sibling folder, not /tmp
        {"/home/user/Pictures/Screenshot.png", false},
        {"/tmp/../home/user/out.png", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PortalFileIsTemporary(c.path), c.temporary) << c.path.toStdString();
}

} // namespace
} // namespace tarvo::platform::wayland
