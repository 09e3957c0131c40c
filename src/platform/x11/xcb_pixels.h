#pragma once
// What the X11 parts of the platform layer share: the toolkit's own connection and pixel
// copies from any drawable of the root window's depth.
#include "platform/screen.h"

#include <QImage>
#include <QRect>
#include <cstdint>
#include <xcb/xcb.h>

namespace tarvo::platform::x11 {

// The toolkit's X connection; null without a GUI application on X.
xcb_connection_t* ApplicationConnection();
// The screen number of $DISPLAY.
int ApplicationScreen();

// The pixels of r in a drawable of the root window's depth and visual (the root window or a
// pixmap copied from it) as Format_RGB32; null when the copy fails.
QImage CopyDrawablePixels(xcb_connection_t* c, std::uint32_t drawable, const QRect& r,
                          ScreenGrabMethod method = ScreenGrabMethod::Auto);

} // namespace tarvo::platform::x11
