// The frozen screen's pixel fetch and the overlay's repaint of only what a drag changes.
#include "platform/big_buffer.h"
#include "platform/frozen_screen.h"
#include "platform/x11/server_overlay.h"
#include "support/helpers.h"

#include <QRegion>
#include <cstdint>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <utility>

namespace tarvo {
namespace {

using platform::x11::ChangedSelectionPixels;

TEST(FrozenImage, GivesExactlyTheRectangleOrNothing)
{
    const QImage picture = test::Pattern(64, 48);
    const auto frozen = platform::FreezeImage(picture, QRect(0, 0, 64, 48));
    ASSERT_TRUE(frozen);
    EXPECT_EQ(frozen->Area(), QRect(0, 0, 64, 48));
    EXPECT_EQ(frozen->Image(), picture);
    struct Case
    {
        QRect rect;
        bool inside = false;
    };
    const Case cases[] = {
        {QRect(0, 0, 64, 48), true},  // the whole picture
        {QRect(0, 10, 5, 5), true},   // at the left edge
        {QRect(59, 10, 5, 5), true},  // at the right edge
        {QRect(10, 0, 5, 5), true},   // at the top
        {QRect(10, 43, 5, 5), true},  // at the bottom
        {QRect(60, 10, 5, 5), false}, // one column outside
        {QRect(10, 44, 5, 5), false}, // one row outside
        {QRect(-1, 0, 5, 5), false},  // left of it
        {QRect(0, -1, 5, 5), false},  // above it
        {QRect(3, 3, 0, 5), false},   // no width
        {QRect(3, 3, 5, 0), false},   // no height
        {QRect(3, 3, -2, 5), false},  // negative width
    };
    for (const Case& c : cases) {
        const QImage got = frozen->Pixels(c.rect);
        EXPECT_EQ(!got.isNull(), c.inside)
            << c.rect.x() << "," << c.rect.y() << " " << c.rect.width() << "x" << c.rect.height();
        if (c.inside) {
            EXPECT_TRUE(test::SamePixels(got, picture.copy(c.rect)));
        }
    }
    EXPECT_FALSE(platform::FreezeImage(QImage(), QRect()));
}

// What one pixel looks like under a selection: 0 untouched, 1 filled, 2 outlined, 3 both.
int look(QPoint p, const QRect& fill)
{
    if (fill.width() < 0 || fill.height() < 0) return 0;
    const bool inFill = QRect(fill.x(), fill.y(), fill.width(), fill.height()).contains(p);
    const int right = fill.x() + fill.width(), bottom = fill.y() + fill.height();
    const bool onColumns =
        (p.x() == fill.x() || p.x() == right) && p.y() >= fill.y() && p.y() <= bottom;
    const bool onRows =
        (p.y() == fill.y() || p.y() == bottom) && p.x() >= fill.x() && p.x() <= right;
    return (inFill ? 1 : 0) | (onColumns || onRows ? 2 : 0);
}

TEST(ChangedSelectionPixels, CoverEveryPixelThatChangesAndSpareTheUnchangedInside)
{
    const QRect none(0, 0, -1, -1);
    const std::pair<QRect, QRect> cases[] = {
        {none, none},
        {none, QRect(10, 10, 0, 0)},   // the first move: nothing wide yet
        {none, QRect(10, 10, 20, 15)}, // appears
        {QRect(10, 10, 20, 15), none}, // goes
        {QRect(10, 10, 20, 15), QRect(10, 10, 20, 15)},
        {QRect(10, 10, 20, 15), QRect(10, 10, 21, 15)}, // one column wider
        {QRect(10, 10, 20, 15), QRect(10, 10, 20, 14)}, // one row shorter
        {QRect(10, 10, 20, 15), QRect(9, 9, 21, 16)},   // grows up and left (drag backwards)
        {QRect(10, 10, 20, 15), QRect(40, 30, 5, 5)},   // jumps away
        {QRect(10, 10, 1, 1), QRect(10, 10, 2, 2)},     // tiny, no inside at all
        {QRect(10, 10, 0, 8), QRect(10, 10, 3, 8)},     // from a line to a rectangle
    };
    for (const auto& [before, after] : cases) {
        const QList<QRect> rects = ChangedSelectionPixels(before, after);
        QRegion covered;
        for (const QRect& r : rects)
            covered += r;
        EXPECT_EQ(covered.rectCount(), rects.size()) << "rectangles overlap";
        for (int y = 0; y < 60; ++y) {
            for (int x = 0; x < 60; ++x) {
                const QPoint p(x, y);
                const int was = look(p, before), is = look(p, after);
                if (was != is) {
                    EXPECT_TRUE(covered.contains(p)) << "missed " << x << "," << y;
                }
                // Filled without outline before and after: never repainted.
                if (was == 1 && is == 1) {
                    EXPECT_FALSE(covered.contains(p)) << "repainted inside " << x << "," << y;
                }
            }
        }
    }
}

TEST(ChangedSelectionPixels, GrowingABigSelectionRepaintsOnlyThinStrips)
{
    // A 4K-sized drag moving by one pixel: two strips of the outline's width, not the area.
    const QList<QRect> rects =
        ChangedSelectionPixels(QRect(100, 100, 3000, 1800), QRect(100, 100, 3001, 1801));
    qint64 pixels = 0;
    for (const QRect& r : rects)
        pixels += qint64(r.width()) * r.height();
    EXPECT_LE(pixels, 4 * (3002 + 1802)) << "the whole rectangle was repainted";
}

// A page that is still mapped can be synced; one given back cannot.
bool mapped(const void* p)
{
    const auto page = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t(4095);
    return msync(reinterpret_cast<void*>(page), 4096, MS_ASYNC) == 0;
}

TEST(BigBuffer, IsWritableEdgeToEdgeOnAHugePageEdgeAndGoesBackWhenReset)
{
    EXPECT_EQ(platform::BigBuffer(0).data(), nullptr);
    for (const std::size_t size : {std::size_t(1), std::size_t(4096), std::size_t(5) << 20}) {
        SCOPED_TRACE(size);
        platform::BigBuffer buffer(size);
        unsigned char* const p = buffer.data();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(buffer.size(), size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (std::uintptr_t(2) << 20), 0u);
        p[0] = 1;
        p[size - 1] = 1;
        EXPECT_EQ(p[0], 1);
        EXPECT_EQ(p[size - 1], 1);
        buffer.reset();
        EXPECT_EQ(buffer.data(), nullptr);
        EXPECT_FALSE(mapped(p));
        EXPECT_FALSE(mapped(p + size - 1));
    }
}

} // namespace
} // namespace tarvo
