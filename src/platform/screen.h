#pragma once
// The whole X screen as a picture: the root window copied pixel for pixel, all monitors at once
// (the X virtual screen starts at (0, 0)).
#include <QByteArray>
#include <QImage>
#include <QRect>

namespace tarvo::platform {

enum class ScreenGrabMethod
{
    Auto,         // shared memory where the server offers it, a plain image request otherwise
    SharedMemory, // MIT-SHM only: fails where the server does not offer it
    Plain,        // core GetImage requests, in horizontal strips
};

// Copies the root window of the display the program runs on. *area receives the root
// window's rectangle (0, 0, width, height); the result is Format_RGB32 and covers it exactly.
// A null image without an X display (e.g. the offscreen platform) or when the copy fails.
QImage GrabRootWindow(QRect* area, ScreenGrabMethod method = ScreenGrabMethod::Auto);

// The same over a connection of its own to the named display (empty: $DISPLAY), for tools
// and tests that run without an X-connected QGuiApplication.
QImage GrabRootWindowOfDisplay(const QByteArray& displayName, QRect* area,
                               ScreenGrabMethod method = ScreenGrabMethod::Auto);

} // namespace tarvo::platform
