#pragma once
// The selection overlay and the screen copy in a Wayland session. A Wayland client cannot place
// one window across outputs, so the overlay is one fullscreen window per output, each showing
// its part of the frozen image; the selection itself is in the frozen image's device pixels, as
// on X, and one drag may run from one output onto another.
#include "capture/selection.h"
#include "platform/wayland/screen_copy.h"

#include <QImage>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QString>
#include <functional>
#include <utility>
#include <vector>

namespace tarvo {

// One output: its name, its rectangle in the compositor's layout (logical pixels) and the part
// of the frozen image that shows it (device pixels).
struct OutputPlacement
{
    QString name;
    QRect logical;
    QRect device;

    bool operator==(const OutputPlacement&) const = default;
};

// The frozen-image pixel under a position local to the output's window, in the fractional
// logical pixels Wayland reports. A position beyond the window (the pressed window keeps the
// pointer for the whole drag) extends the output's own layout, which is where the neighbouring
// output lies when the scales agree.
QPoint ImagePixelAt(const OutputPlacement& output, QPointF local);

// A pointer position kept inside the area, as the cursor cannot leave the screen on X.
QPoint ClampToArea(QPoint p, const CaptureArea& area);

// A rectangle of the frozen image in the device pixels of the output's window, whose buffer is
// `windowPixels` large (the output's own part of the image 1:1 when it is as large).
QRect ImageToWindow(const OutputPlacement& output, QSize windowPixels, const QRect& image);

// For each screen (name, logical geometry), the placement that shows it: the output of the same
// name, else the one with the same logical rectangle, else the screen's rectangle scaled by
// `scale` (a copy that named no outputs composes the layout at one scale).
std::vector<OutputPlacement> PlaceScreens(const std::vector<std::pair<QString, QRect>>& screens,
                                          const std::vector<OutputPlacement>& outputs, qreal scale);

// The copy's outputs (device rectangles in a picture laid out at their largest scale, moved to
// the origin) placed back in the compositor's layout, whose top-left corner is layoutOrigin.
std::vector<OutputPlacement>
PlaceOutputs(const std::vector<platform::wayland::WaylandOutput>& copied, QPoint layoutOrigin);

// Copies every output into one frozen image in the compositor's layout, directly where the
// compositor lets clients copy the screen and through the desktop portal elsewhere or when
// forced. *area receives the image's rectangle and *outputs where each output lies in it.
// A null image when the copy failed (the reason is logged).
QImage CaptureScreenWayland(CaptureArea* area, std::vector<OutputPlacement>* outputs);

// Shows the frozen image on every output and returns the dragged rectangle, with the contract
// of SelectRegion: ComError(CancelledCode) on Escape on any output or when another program takes
// the focus, ComError(E_FAIL) when no window can be shown. whileShown, when given, runs with the
// finished selection before the windows close, while the program still has the keyboard focus.
SelectionRect
SelectRegionOnOutputs(const CaptureArea& area, const QImage& frozen,
                      const std::vector<OutputPlacement>& outputs,
                      const std::function<void(const SelectionRect&)>& whileShown = {});

} // namespace tarvo
