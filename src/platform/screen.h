#pragma once
// The whole X screen as a picture: the root window copied pixel for pixel, all monitors at once
// (the X virtual screen starts at (0, 0)).
#include <QByteArray>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <functional>
#include <memory>
#include <optional>

class QWindow;

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

// Holds the keyboard for the program from the moment a capture starts until its overlay takes
// the keyboard itself: keys pressed meanwhile (an Escape right after the capture key) wait in
// the server and then go to the overlay instead of to whatever window had the focus. Does
// nothing without X.
class KeyboardHold
{
public:
    KeyboardHold();
    ~KeyboardHold(); // lets go (and lets waiting keys through) unless someone took over
    KeyboardHold(const KeyboardHold&) = delete;
    KeyboardHold& operator=(const KeyboardHold&) = delete;

private:
    bool held_ = false;
};

// Makes sure the window's keyboard and pointer grabs took: X refuses a grab while another
// client still holds one (a closing menu), so each is retried for up to a second, with events
// processed in between, until it takes or cancelled() says to stop. Nothing to do without X.
void EnsureInputGrabs(QWindow* window, const std::function<bool()>& cancelled);

// Pointer positions in screen pixels exactly as the X server reported them (button presses,
// releases and motion, core or XInput 2), oldest first. Under display scaling the toolkit hands
// widgets positions in logical pixels rounded to whole ones, which cannot tell two neighbouring
// screen pixels apart; this log can. Records while it exists; records nothing without X.
class PointerPositionLog
{
public:
    PointerPositionLog();
    ~PointerPositionLog();
    PointerPositionLog(const PointerPositionLog&) = delete;
    PointerPositionLog& operator=(const PointerPositionLog&) = delete;

    // The oldest recorded position within `tolerance` screen pixels of `approx` (both axes);
    // it and everything recorded before it are used up. Nothing when no position fits.
    std::optional<QPoint> Take(QPointF approx, qreal tolerance);

private:
    class Filter;
    std::unique_ptr<Filter> filter_;
};

} // namespace tarvo::platform
