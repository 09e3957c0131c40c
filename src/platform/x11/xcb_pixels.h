#pragma once
// What the X11 parts of the platform layer share: the toolkit's own connection and pixel
// copies from any drawable of the root window's depth.
#include "platform/screen.h"

#include <QImage>
#include <QRect>
#include <cstdint>
#include <memory>
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

// Shared memory made ready for one fetch from a drawable of the root window's layout while
// the user is still choosing what to fetch: a thread of its own at the lowest priority puts
// the pages in place, so the fetch only copies and the image is made over the memory. Until
// it is ready, and on a server whose pixels need converting, the caller copies the usual way.
class PreparedCopy
{
public:
    // Starts preparing memory for up to the whole root of `screen`.
    PreparedCopy(xcb_connection_t* c, int screen);
    // Lets go of the memory, now or once the thread is done with it.
    ~PreparedCopy();
    PreparedCopy(const PreparedCopy&) = delete;
    PreparedCopy& operator=(const PreparedCopy&) = delete;

    // The pixels of r as Format_RGB32, through the prepared memory: once only, and null when it
    // is not ready, r does not fit, or the server does not take it. The image keeps only its
    // own pages.
    QImage Take(std::uint32_t drawable, const QRect& r);

    struct State;

private:
    xcb_connection_t* c_;
    std::shared_ptr<State> state_;
};

} // namespace tarvo::platform::x11
