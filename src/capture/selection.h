#pragma once
// The rectangles of a capture and the arithmetic of dragging one, free of any window.
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <cstdint>

namespace tarvo {

// The captured part of the screen, in screen coordinates (device pixels).
struct CaptureArea
{
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    std::int32_t width() const { return right - left; }
    std::int32_t height() const { return bottom - top; }
    static CaptureArea FromRect(const QRect& r)
    {
        return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
    }
};

// In frozen-image coordinates; -1 everywhere until the user has pressed the button, and
// width/height -1 until the first move.
struct SelectionRect
{
    std::int32_t x = -1;
    std::int32_t y = -1;
    std::int32_t width = -1;
    std::int32_t height = -1;

    bool operator==(const SelectionRect&) const = default;
};

// The selection right after the button went down at `anchor` (screen coordinates).
SelectionRect SelectionAtAnchor(QPoint anchor, const CaptureArea& area);

// The selection spanned by the anchor and the cursor at `p`, in any drag direction.
SelectionRect SelectionFromDrag(QPoint anchor, QPoint p, const CaptureArea& area);

// The device pixel under a window-local mouse position that the toolkit has divided by the
// device pixel ratio. Exact when the position started as a whole device pixel and was not
// rounded on the way: multiplying back lands within rounding noise of an integer, and the small
// bias keeps a value like 1000.9999999 on 1001 while a genuinely fractional position still falls
// to the pixel that contains it. Where the toolkit rounds to whole logical pixels (X under
// display scaling) the overlay takes the server's own position instead.
QPoint DevicePixelAt(QPointF logical, qreal devicePixelRatio);

// The device-pixel rectangle to repaint when the selection changes: both rectangles, each grown
// by the outline's width (the outline lies one pixel right and below the fill). Empty when
// neither has a size yet.
QRect SelectionDamage(const SelectionRect& before, const SelectionRect& after, int penWidth = 1);

} // namespace tarvo
