#pragma once
#include "capture/selection.h"

#include <QImage>
#include <QString>
#include <cstdint>

namespace tarvo {

// Freezes the screen, lets the user select a rectangle and delivers it to the destination.
// Runs on the user-interface thread; lets no exception out.
void RunCapture(std::int32_t destination);

// Copies the whole screen; *area receives the covered rectangle. Null without a display.
QImage CaptureScreen(CaptureArea* area);

// The selected part of the frozen image in its pixel format. A null image when the rectangle
// is not wholly inside the image or has no size.
QImage ExtractFragment(const QImage& frozen, const SelectionRect& selection);

} // namespace tarvo
