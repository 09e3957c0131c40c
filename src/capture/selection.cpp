#include "capture/selection.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace tarvo {

SelectionRect SelectionAtAnchor(QPoint anchor, const CaptureArea& area)
{
    return {anchor.x() - area.left, anchor.y() - area.top, -1, -1};
}

SelectionRect SelectionFromDrag(QPoint anchor, QPoint p, const CaptureArea& area)
{
    return {std::min(anchor.x(), p.x()) - area.left, std::min(anchor.y(), p.y()) - area.top,
            std::abs(p.x() - anchor.x()), std::abs(p.y() - anchor.y())};
}

QPoint DevicePixelAt(QPointF logical, qreal devicePixelRatio)
{
    constexpr double bias = 1e-6;
    return {int(std::floor(logical.x() * devicePixelRatio + bias)),
            int(std::floor(logical.y() * devicePixelRatio + bias))};
}

namespace {

QRect grown(const SelectionRect& s, int penWidth)
{
    if (s.width < 0 || s.height < 0) return {};
    // The outline of a w x h rectangle covers w + 1 by h + 1 pixels.
    return QRect(s.x, s.y, s.width + 1, s.height + 1)
        .adjusted(-penWidth, -penWidth, penWidth, penWidth);
}

} // namespace

QRect SelectionDamage(const SelectionRect& before, const SelectionRect& after, int penWidth)
{
    return grown(before, penWidth) | grown(after, penWidth);
}

} // namespace tarvo
