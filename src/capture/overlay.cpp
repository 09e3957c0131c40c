#include "capture/overlay.h"

#include "platform/frozen_screen.h"
#include "platform/hresult.h"
#include "platform/resources.h"
#include "platform/screen.h"
#include "platform/session.h"
#include "platform/x11/server_overlay.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <cmath>

namespace tarvo {

namespace {

constexpr int kPenWidth = 1;

// A pointer at rest this long during a drag has stopped: longer than between two motion events
// of a slow drag. A busy listener is asked again after the second.
constexpr std::chrono::milliseconds kHeldStill{40};
constexpr std::chrono::milliseconds kBusyAgain{10};

// Device pixels to the widget's logical coordinates, rounded outwards so nothing is missed.
QRect toLogical(const QRect& device, qreal dpr)
{
    if (dpr == 1.0) return device;
    return QRectF(device.x() / dpr, device.y() / dpr, device.width() / dpr, device.height() / dpr)
        .toAlignedRect();
}

QRect toDevice(const QRect& logical, qreal dpr)
{
    if (dpr == 1.0) return logical;
    const int left = int(std::floor(logical.x() * dpr));
    const int top = int(std::floor(logical.y() * dpr));
    const int right = int(std::ceil((logical.x() + logical.width()) * dpr));
    const int bottom = int(std::ceil((logical.y() + logical.height()) * dpr));
    return QRect(left, top, right - left, bottom - top);
}

// The logical length that the toolkit turns back into exactly `native` device pixels (it
// rounds), so the window covers the area to the pixel; rounded up where no length does.
int logicalLength(int native, qreal dpr)
{
    const int guess = qRound(native / dpr);
    for (const int l : {guess, guess - 1, guess + 1})
        if (qRound(l * dpr) == native) return l;
    return int(std::ceil(native / dpr));
}

// Whatever menu the capture was started from must not keep the pointer.
void closePopups()
{
    for (int i = 0; i < 8; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup) break;
        popup->close();
    }
}

} // namespace

SelectRgnDialog::SelectRgnDialog(const CaptureArea& area, const QImage& frozen)
    : QDialog(nullptr,
              Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint),
      area_(area), image_(frozen)
{
    // Every pixel is painted from the frozen image: no background erase, no flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setCursor(LoadCursorResource(IDC_SELECT));
    setFocusPolicy(Qt::StrongFocus);
}

SelectRgnDialog::~SelectRgnDialog()
{
    pointerLog_.reset();
    if (loop_) loop_->quit();
}

SelectionRect SelectRgnDialog::Run()
{
    closePopups();

    const qreal dpr = devicePixelRatioF();
    if (dpr != 1.0) pointerLog_ = std::make_unique<platform::PointerPositionLog>();
    setGeometry(QRect(int(std::floor(area_.left / dpr)), int(std::floor(area_.top / dpr)),
                      logicalLength(area_.width(), dpr), logicalLength(area_.height(), dpr)));
    show();
    raise();
    activateWindow();
    QWindow* window = windowHandle();
    if (!window) ThrowHr(E_FAIL);

    // Grab at once, before the first paint: an Escape pressed right after the capture key
    // must already reach the overlay. Grabbing the keyboard makes Escape work with and without
    // a window manager; grabbing the pointer keeps the drag here even over panels.
    grabKeyboard();
    grabMouse();
    platform::EnsureInputGrabs(window, [this] { return cancelled_; });

    QEventLoop loop;
    const auto quitting =
        connect(qApp, &QCoreApplication::aboutToQuit, &loop, [this] { finish(); });
    loop_ = &loop;
    if (phase_ != Phase::Done && !cancelled_) loop.exec();
    loop_ = nullptr;
    disconnect(quitting);

    releaseMouse();
    releaseKeyboard();
    hide();
    pointerLog_.reset();
    if (cancelled_) ThrowHr(CancelledCode);
    return selection_;
}

void SelectRgnDialog::cancel()
{
    if (phase_ == Phase::Done) return;
    cancelled_ = true;
    phase_ = Phase::Done;
    if (loop_) loop_->quit();
}

void SelectRgnDialog::finish()
{
    if (phase_ == Phase::Done) return;
    phase_ = Phase::Done;
    if (loop_) loop_->quit();
}

QPoint SelectRgnDialog::devicePosition(const QMouseEvent* event) const
{
    // The window's origin is the area's origin, so screen position = origin + local pixel.
    const QPoint origin(area_.left, area_.top);
    const qreal dpr = devicePixelRatioF();
    if (pointerLog_) {
        // The position may have been rounded to a whole logical pixel: the server's own
        // report is the one within half a logical pixel of it.
        const QPointF approx = QPointF(origin) + event->position() * dpr;
        if (const auto exact = pointerLog_->Take(approx, dpr / 2 + 1e-6)) return *exact;
    }
    return origin + DevicePixelAt(event->position(), dpr);
}

void SelectRgnDialog::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (phase_ != Phase::Anchor || event->button() != Qt::LeftButton) return;
    anchor_ = devicePosition(event);
    lastPosition_ = anchor_;
    selection_ = SelectionAtAnchor(anchor_, area_);
    phase_ = Phase::Drag;
}

void SelectRgnDialog::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (phase_ != Phase::Drag) return;
    // Toolkits and servers sometimes report a "move" to where the pointer already was (a window
    // appearing under it, a grab starting); only a real move makes a size, so that a click
    // without one keeps it unset.
    const QPoint p = devicePosition(event);
    if (p == lastPosition_) return;
    lastPosition_ = p;
    const SelectionRect next = SelectionFromDrag(anchor_, p, area_);
    if (next == selection_) return;
    const QRect damage = SelectionDamage(selection_, next, kPenWidth);
    selection_ = next;
    // Synchronously, so the rectangle keeps up with the pointer; only what changed.
    repaint(toLogical(damage, devicePixelRatioF()));
}

void SelectRgnDialog::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    if (phase_ == Phase::Drag && event->button() == Qt::LeftButton) finish();
}

void SelectRgnDialog::keyPressEvent(QKeyEvent* event)
{
    event->accept();
    if (event->key() == Qt::Key_Escape) cancel();
}

bool SelectRgnDialog::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::WindowActivate:
        wasActive_ = true;
        break;
    case QEvent::WindowDeactivate:
        // Another window took over: the frozen picture would lie about the screen.
        if (wasActive_) cancel();
        break;
    default:
        break;
    }
    return QDialog::event(event);
}

void SelectRgnDialog::closeEvent(QCloseEvent* event)
{
    cancel();
    event->accept();
}

void SelectRgnDialog::paintEvent(QPaintEvent* event)
{
    const qreal dpr = devicePixelRatioF();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Work in device pixels, the frozen image's own: it is drawn 1:1, never resampled.
    if (dpr != 1.0) p.setWorldTransform(QTransform::fromScale(1.0 / dpr, 1.0 / dpr));
    const QRect dirty = toDevice(event->rect(), dpr);
    const QRect fromImage = dirty & image_.rect();
    if (fromImage != dirty) p.fillRect(dirty, Qt::black);
    if (!fromImage.isEmpty()) p.drawImage(fromImage.topLeft(), image_, fromImage);

    const SelectionRect& s = selection_;
    if (s.width >= 0 && s.height >= 0) {
        const QRect r(s.x, s.y, s.width, s.height);
        p.fillRect(r, QColor::fromRgba(kFill));
        p.setPen(QPen(QColor::fromRgba(kOutline), kPenWidth));
        p.setBrush(Qt::NoBrush);
        p.drawRect(r);
    }
    p.end();
    if (afterPaint) afterPaint(dirty);
}

SelectionRect SelectRegion(const CaptureArea& area, const QImage& frozen)
{
    SelectRgnDialog dialog(area, frozen);
    return dialog.Run();
}

SelectionRect SelectRegionOnServer(platform::x11::ServerOverlay& overlay,
                                   const platform::FrozenScreen& frozen,
                                   const std::function<bool(const SelectionRect&)>& whileStill)
{
    static_assert(platform::x11::ServerOverlay::kFill == SelectRgnDialog::kFill &&
                  platform::x11::ServerOverlay::kOutline == SelectRgnDialog::kOutline);
    closePopups();
    const QRect screen = frozen.Area();
    const CaptureArea area = CaptureArea::FromRect(screen);
    enum class Phase
    {
        Anchor,
        Drag,
        Done
    } phase = Phase::Anchor;
    SelectionRect selection;
    QPoint anchor;
    QPoint last;
    bool cancelled = false;
    QEventLoop loop;
    QTimer still;
    still.setSingleShot(true);
    QObject::connect(&still, &QTimer::timeout, [&] {
        if (phase == Phase::Drag && selection.width > 0 && selection.height > 0 &&
            !whileStill(selection))
            still.start(kBusyAgain);
    });
    const auto stop = [&](bool cancel) {
        if (phase == Phase::Done) return;
        cancelled = cancel;
        phase = Phase::Done;
        loop.quit();
    };

    platform::x11::ServerOverlay::Handlers handlers;
    handlers.press = [&](QPoint p) {
        if (phase != Phase::Anchor) return;
        anchor = p;
        last = p;
        selection = SelectionAtAnchor(anchor, area);
        phase = Phase::Drag;
    };
    handlers.move = [&](QPoint p) {
        // Only a real move makes a size, so a click without one keeps it unset.
        if (phase != Phase::Drag || p == last) return;
        last = p;
        const SelectionRect next = SelectionFromDrag(anchor, p, area);
        if (next == selection) return;
        selection = next;
        overlay.SetSelection(QRect(screen.x() + selection.x, screen.y() + selection.y,
                                   selection.width, selection.height));
        if (whileStill) still.start(kHeldStill);
    };
    handlers.release = [&](QPoint) {
        if (phase == Phase::Drag) stop(false);
    };
    handlers.cancel = [&] { stop(true); };

    if (!overlay.Show(frozen, handlers, [&] { return cancelled; })) ThrowHr(CancelledCode);
    const auto quitting =
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &loop, [&] { stop(false); });
    if (phase != Phase::Done) loop.exec();
    QObject::disconnect(quitting);
    if (cancelled) {
        overlay.Hide();
        ThrowHr(CancelledCode);
    }
    // Still on screen: the caller fetches the pixels first, while the server has nothing else
    // to do, and hides it then (unmapping sets every window below repainting).
    overlay.ReleaseInput();
    return selection;
}

platform::x11::ServerOverlay* ServerOverlayInUse()
{
    if (platform::ActiveBackend() != platform::Backend::X11) return nullptr;
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
    // For comparisons and as a way out: the toolkit-painted overlay over a copied image.
    if (qEnvironmentVariable("TARVO_OVERLAY") == QLatin1String("image")) return nullptr;
    const QCursor cursor = LoadCursorResource(IDC_SELECT);
    return platform::x11::ServerOverlay::Get(cursor.pixmap().toImage(), cursor.hotSpot());
}

} // namespace tarvo
