#include "capture/overlay_wayland.h"

#include "capture/overlay.h"
#include "net/log.h"
#include "platform/hresult.h"
#include "platform/resources.h"
#include "platform/wayland/portal_screenshot.h"
#include "platform/wayland/screen_copy.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <memory>

namespace tarvo {

QPoint ImagePixelAt(const OutputPlacement& output, QPointF local)
{
    const qreal sx =
        output.logical.width() > 0 ? qreal(output.device.width()) / output.logical.width() : 1.0;
    const qreal sy =
        output.logical.height() > 0 ? qreal(output.device.height()) / output.logical.height() : 1.0;
    const QPoint scaled = sx == sy ? DevicePixelAt(local, sx)
                                   : QPoint(DevicePixelAt({local.x(), 0}, sx).x(),
                                            DevicePixelAt({0, local.y()}, sy).y());
    return output.device.topLeft() + scaled;
}

QPoint ClampToArea(QPoint p, const CaptureArea& area)
{
    if (area.width() <= 0 || area.height() <= 0) return p;
    return {std::clamp(p.x(), area.left, area.right - 1),
            std::clamp(p.y(), area.top, area.bottom - 1)};
}

QRect ImageToWindow(const OutputPlacement& output, QSize windowPixels, const QRect& image)
{
    const QRect shifted = image.translated(-output.device.topLeft());
    if (windowPixels == output.device.size() || output.device.isEmpty()) return shifted;
    const qreal kx = qreal(windowPixels.width()) / output.device.width();
    const qreal ky = qreal(windowPixels.height()) / output.device.height();
    const int left = int(std::floor(shifted.x() * kx));
    const int top = int(std::floor(shifted.y() * ky));
    const int right = int(std::ceil((shifted.x() + shifted.width()) * kx));
    const int bottom = int(std::ceil((shifted.y() + shifted.height()) * ky));
    return {left, top, right - left, bottom - top};
}

std::vector<OutputPlacement> PlaceScreens(const std::vector<std::pair<QString, QRect>>& screens,
                                          const std::vector<OutputPlacement>& outputs, qreal scale)
{
    std::vector<OutputPlacement> placed;
    placed.reserve(screens.size());
    for (const auto& screen : screens) {
        // Structured bindings cannot be captured by a lambda in C++20 (clang refuses).
        const QString& name = screen.first;
        const QRect& geometry = screen.second;
        auto it = std::find_if(outputs.begin(), outputs.end(), [&](const OutputPlacement& o) {
            return !name.isEmpty() && o.name == name;
        });
        if (it == outputs.end())
            it = std::find_if(outputs.begin(), outputs.end(),
                              [&](const OutputPlacement& o) { return o.logical == geometry; });
        if (it != outputs.end()) {
            placed.push_back(*it);
            continue;
        }
        const QRect device(int(std::lround(geometry.x() * scale)),
                           int(std::lround(geometry.y() * scale)),
                           int(std::lround(geometry.width() * scale)),
                           int(std::lround(geometry.height() * scale)));
        placed.push_back({name, geometry, device});
    }
    return placed;
}

std::vector<OutputPlacement>
PlaceOutputs(const std::vector<platform::wayland::WaylandOutput>& copied, QPoint layoutOrigin)
{
    int scale = 1;
    for (const auto& o : copied)
        scale = std::max(scale, o.scale);
    std::vector<OutputPlacement> placed;
    placed.reserve(copied.size());
    for (const auto& o : copied) {
        const QRect logical(o.rect.topLeft() / scale + layoutOrigin, o.rect.size() / scale);
        placed.push_back({o.name, logical, o.rect});
    }
    return placed;
}

namespace {

constexpr int kPenWidth = 1;
// Focus moving between two of the overlay's own windows arrives as a deactivation followed by
// an activation, which a loaded machine may deliver late; only a deactivation that no
// activation follows within this time cancels.
constexpr int kFocusSettleMs = 500;

QRect toDevice(const QRect& logical, qreal dpr)
{
    if (dpr == 1.0) return logical;
    const int left = int(std::floor(logical.x() * dpr));
    const int top = int(std::floor(logical.y() * dpr));
    const int right = int(std::ceil((logical.x() + logical.width()) * dpr));
    const int bottom = int(std::ceil((logical.y() + logical.height()) * dpr));
    return {left, top, right - left, bottom - top};
}

QRect toLogical(const QRect& device, qreal dpr)
{
    if (dpr == 1.0) return device;
    return QRectF(device.x() / dpr, device.y() / dpr, device.width() / dpr, device.height() / dpr)
        .toAlignedRect();
}

class OutputWindow;

// The state of one selection, shared by the windows of all outputs.
class Overlay
{
public:
    Overlay(const CaptureArea& area, const QImage& frozen) : area_(area), image_(frozen) {}

    SelectionRect Run(const std::vector<OutputPlacement>& outputs,
                      const std::function<void(const SelectionRect&)>& whileShown);

    void press(const OutputPlacement& output, const QMouseEvent* event);
    void move(const OutputPlacement& output, const QMouseEvent* event);
    void release(const QMouseEvent* event);
    void cancel();
    void activated() { everActive_ = true; }
    void deactivated();

    const QImage& image() const { return image_; }
    const SelectionRect& selection() const { return selection_; }

private:
    enum class Phase
    {
        Anchor,
        Drag,
        Done
    };

    QPoint screenPoint(const OutputPlacement& output, const QMouseEvent* event) const;
    void finish();
    void repaintAll(const QRect& imageDamage);

    CaptureArea area_;
    QImage image_; // shallow copy: the pixels are shared, never cloned
    std::vector<std::unique_ptr<OutputWindow>> windows_;
    SelectionRect selection_;
    QPoint anchor_;
    QPoint lastPosition_;
    Phase phase_ = Phase::Anchor;
    bool cancelled_ = false;
    bool everActive_ = false;
    QEventLoop* loop_ = nullptr;
};

class OutputWindow : public QWidget
{
public:
    OutputWindow(Overlay& overlay, OutputPlacement placement)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), overlay_(overlay),
          placement_(std::move(placement))
    {
        // Every pixel is painted from the frozen image: no background erase, no flicker.
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAttribute(Qt::WA_NoSystemBackground);
        setCursor(LoadCursorResource(IDC_SELECT));
        setFocusPolicy(Qt::StrongFocus);
        setWindowTitle(QStringLiteral("Tarvo"));
    }

    // The window's buffer in device pixels.
    QSize pixels() const
    {
        const qreal dpr = devicePixelRatioF();
        return {int(std::lround(width() * dpr)), int(std::lround(height() * dpr))};
    }

    // Repaints what the image rectangle covers of this output, at once.
    void repaintImage(const QRect& image)
    {
        const QRect device = ImageToWindow(placement_, pixels(), image);
        const QRect logical = toLogical(device, devicePixelRatioF()) & rect();
        if (!logical.isEmpty()) repaint(logical);
    }

protected:
    void paintEvent(QPaintEvent* event) override
    {
        const qreal dpr = devicePixelRatioF();
        const QSize px = pixels();
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing, false);
        // Work in device pixels, the frozen image's own: the output's part is drawn 1:1.
        if (dpr != 1.0) p.setWorldTransform(QTransform::fromScale(1.0 / dpr, 1.0 / dpr));
        const QImage& image = overlay_.image();
        const QRect dirty = toDevice(event->rect(), dpr) & QRect(QPoint(), px);
        if (px == placement_.device.size()) {
            const QRect source = dirty.translated(placement_.device.topLeft()) & image.rect();
            if (source.size() != dirty.size()) p.fillRect(dirty, Qt::black);
            if (!source.isEmpty())
                p.drawImage(source.topLeft() - placement_.device.topLeft(), image, source);
        } else {
            // The copy did not come at this window's scale: stretched, never the desktop's
            // pixels exactly, but all of it.
            p.fillRect(dirty, Qt::black);
            p.drawImage(QRect(QPoint(), px), image, placement_.device);
        }

        const SelectionRect& s = overlay_.selection();
        if (s.width >= 0 && s.height >= 0) {
            const QRect r = ImageToWindow(placement_, px, QRect(s.x, s.y, s.width, s.height));
            p.fillRect(r, QColor::fromRgba(SelectRgnDialog::kFill));
            p.setPen(QPen(QColor::fromRgba(SelectRgnDialog::kOutline), kPenWidth));
            p.setBrush(Qt::NoBrush);
            p.drawRect(r);
        }
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        event->accept();
        overlay_.press(placement_, event);
    }
    void mouseMoveEvent(QMouseEvent* event) override
    {
        event->accept();
        overlay_.move(placement_, event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        event->accept();
        overlay_.release(event);
    }
    void keyPressEvent(QKeyEvent* event) override
    {
        event->accept();
        if (event->key() == Qt::Key_Escape) overlay_.cancel();
    }
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::WindowActivate) overlay_.activated();
        if (event->type() == QEvent::WindowDeactivate) overlay_.deactivated();
        return QWidget::event(event);
    }
    void closeEvent(QCloseEvent* event) override
    {
        overlay_.cancel();
        event->accept();
    }

private:
    Overlay& overlay_;
    OutputPlacement placement_;
};

QPoint Overlay::screenPoint(const OutputPlacement& output, const QMouseEvent* event) const
{
    const QPoint image = ImagePixelAt(output, event->position());
    return ClampToArea(image + QPoint(area_.left, area_.top), area_);
}

void Overlay::press(const OutputPlacement& output, const QMouseEvent* event)
{
    if (phase_ != Phase::Anchor || event->button() != Qt::LeftButton) return;
    anchor_ = screenPoint(output, event);
    lastPosition_ = anchor_;
    selection_ = SelectionAtAnchor(anchor_, area_);
    phase_ = Phase::Drag;
}

void Overlay::move(const OutputPlacement& output, const QMouseEvent* event)
{
    if (phase_ != Phase::Drag) return;
    // A "move" to where the pointer already was (a window appearing under it) makes no size,
    // so that a click without a real move keeps it unset.
    const QPoint p = screenPoint(output, event);
    if (p == lastPosition_) return;
    lastPosition_ = p;
    const SelectionRect next = SelectionFromDrag(anchor_, p, area_);
    if (next == selection_) return;
    const QRect damage = SelectionDamage(selection_, next, kPenWidth);
    selection_ = next;
    repaintAll(damage);
}

void Overlay::release(const QMouseEvent* event)
{
    if (phase_ == Phase::Drag && event->button() == Qt::LeftButton) finish();
}

void Overlay::repaintAll(const QRect& imageDamage)
{
    for (const auto& w : windows_)
        w->repaintImage(imageDamage);
}

void Overlay::cancel()
{
    if (phase_ == Phase::Done) return;
    cancelled_ = true;
    phase_ = Phase::Done;
    if (loop_) loop_->quit();
}

void Overlay::finish()
{
    if (phase_ == Phase::Done) return;
    phase_ = Phase::Done;
    if (loop_) loop_->quit();
}

void Overlay::deactivated()
{
    if (!everActive_ || phase_ == Phase::Done || !loop_) return;
    QTimer::singleShot(kFocusSettleMs, loop_, [this] {
        // Another program took the focus: the frozen picture would lie about the screen.
        const bool ours = std::any_of(windows_.begin(), windows_.end(),
                                      [](const auto& w) { return w->isActiveWindow(); });
        if (!ours) cancel();
    });
}

SelectionRect Overlay::Run(const std::vector<OutputPlacement>& outputs,
                           const std::function<void(const SelectionRect&)>& whileShown)
{
    // Whatever menu the capture was started from must not keep the pointer.
    for (int i = 0; i < 8; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup) break;
        popup->close();
    }

    const QList<QScreen*> screens = QGuiApplication::screens();
    std::vector<std::pair<QString, QRect>> named;
    qreal scale = 1.0;
    for (QScreen* s : screens) {
        named.emplace_back(s->name(), s->geometry());
        scale = std::max(scale, s->devicePixelRatio());
    }
    const std::vector<OutputPlacement> placed = PlaceScreens(named, outputs, scale);
    for (qsizetype i = 0; i < screens.size(); ++i) {
        auto w = std::make_unique<OutputWindow>(*this, placed[size_t(i)]);
        w->setScreen(screens[i]);
        w->setGeometry(screens[i]->geometry());
        w->showFullScreen();
        windows_.push_back(std::move(w));
    }
    if (windows_.empty() || !windows_.front()->windowHandle()) ThrowHr(E_FAIL);
    windows_.front()->activateWindow();

    QEventLoop loop;
    loop_ = &loop;
    const auto quitting =
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, &loop, [this] { cancel(); });
    // An output that goes away takes part of the picture with it.
    const auto removed = QObject::connect(qApp, &QGuiApplication::screenRemoved, &loop,
                                          [this](QScreen*) { cancel(); });
    if (phase_ != Phase::Done) loop.exec();
    QObject::disconnect(quitting);
    QObject::disconnect(removed);
    loop_ = nullptr;

    if (!cancelled_ && whileShown) whileShown(selection_);
    for (const auto& w : windows_)
        w->hide();
    windows_.clear();
    if (cancelled_) ThrowHr(CancelledCode);
    return selection_;
}

} // namespace

SelectionRect SelectRegionOnOutputs(const CaptureArea& area, const QImage& frozen,
                                    const std::vector<OutputPlacement>& outputs,
                                    const std::function<void(const SelectionRect&)>& whileShown)
{
    Overlay overlay(area, frozen);
    return overlay.Run(outputs, whileShown);
}

QImage CaptureScreenWayland(CaptureArea* area, std::vector<OutputPlacement>* outputs)
{
    QRect rect;
    std::vector<platform::wayland::WaylandOutput> copied;
    QString error;
    QImage image = platform::wayland::CopyScreen(&rect, &copied, &error);
    if (image.isNull()) {
        LogFormat(u"Screen copy failed: %s", error);
        return {};
    }
    if (area) *area = CaptureArea::FromRect(rect);
    QRect layout;
    for (const QScreen* screen : QGuiApplication::screens())
        layout |= screen->geometry();
    if (outputs) *outputs = PlaceOutputs(copied, layout.topLeft());
    return image;
}

} // namespace tarvo
