#pragma once
// The full-screen overlay that shows the frozen screen and lets the user drag one rectangle.
#include "capture/selection.h"

#include <QDialog>
#include <QImage>
#include <functional>
#include <memory>

class QEventLoop;

namespace tarvo::platform {
class FrozenScreen;
class PointerPositionLog;
namespace x11 {
class ServerOverlay;
}
} // namespace tarvo::platform

namespace tarvo {

// Shows the frozen image over CaptureArea and returns the dragged rectangle. Throws
// ComError(CancelledCode) on Escape or when another window takes over, ComError(E_FAIL) when
// the overlay cannot be shown.
SelectionRect SelectRegion(const CaptureArea& area, const QImage& frozen);

// The same on the overlay the X server paints, for a picture frozen by that overlay: the drag,
// the keys and the results are those of SelectRgnDialog. Cancelled, the overlay is hidden;
// otherwise it is left up without input for the caller to hide once it has the pixels.
// whileStill, if set, hears of the selection whenever the pointer holds still on it during the
// drag; while it answers false (busy) it is asked again a little later.
SelectionRect
SelectRegionOnServer(platform::x11::ServerOverlay& overlay, const platform::FrozenScreen& frozen,
                     const std::function<bool(const SelectionRect&)>& whileStill = {});

// The server-painted overlay with the selection cursor, made once; null where there is none.
platform::x11::ServerOverlay* ServerOverlayInUse();

class SelectRgnDialog : public QDialog
{
public:
    // The image is borrowed: it must outlive the dialog.
    SelectRgnDialog(const CaptureArea& area, const QImage& frozen);
    ~SelectRgnDialog() override;

    // Shows the overlay, runs its own loop until the button is released or the selection is
    // cancelled, and hides it again.
    SelectionRect Run();

    const SelectionRect& selection() const { return selection_; }
    bool cancelled() const { return cancelled_; }

    // Called after every completed paint with the repainted device-pixel rectangle (used by
    // benchmarks and tests to see when the overlay is on screen).
    std::function<void(const QRect&)> afterPaint;

    // The fill and the outline of the selection.
    static constexpr QRgb kFill = 0x32646464u;
    static constexpr QRgb kOutline = 0xC8C8C8C8u;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    enum class Phase
    {
        Anchor,
        Drag,
        Done
    };

    QPoint devicePosition(const QMouseEvent* event) const;
    void cancel();
    void finish();

    CaptureArea area_;
    QImage image_; // shallow copy of the frozen image; its pixels are shared, never cloned
    SelectionRect selection_;
    QPoint anchor_;
    QPoint lastPosition_;
    Phase phase_ = Phase::Anchor;
    bool cancelled_ = false;
    bool wasActive_ = false;
    QEventLoop* loop_ = nullptr;
    std::unique_ptr<platform::PointerPositionLog> pointerLog_; // only under display scaling
};

} // namespace tarvo
