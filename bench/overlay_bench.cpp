// Overlay latency: from the start of the selection to the first completed paint (what the user
// waits for after pressing the key), and one repaint while dragging, on full-HD and 4K screens.
#include "capture/overlay.h"
#include "platform/hresult.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <optional>
#include <random>

namespace tarvo {
namespace {

// A desktop-like picture: a gradient wallpaper, windows with title bars and lines of "text".
QImage screenLike(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient wallpaper(0, 0, w, h);
    wallpaper.setColorAt(0, QColor(30, 60, 110));
    wallpaper.setColorAt(1, QColor(120, 40, 90));
    p.fillRect(img.rect(), wallpaper);
    std::mt19937 rng(7);
    const auto pick = [&rng](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(rng);
    };
    for (int i = 0; i < 12; ++i) {
        const QRect win(pick(0, w * 2 / 3), pick(0, h * 2 / 3), pick(w / 5, w / 2),
                        pick(h / 5, h / 2));
        p.fillRect(win, QColor(245, 245, 245));
        p.fillRect(win.x(), win.y(), win.width(), 28, QColor(60, 60, 70));
        for (int y = win.y() + 40; y < win.bottom() - 12; y += 18) {
            int x = win.x() + 10;
            while (x < win.right() - 40) {
                const int word = pick(12, 60);
                p.fillRect(x, y, word, 10, QColor(pick(0, 80), pick(0, 80), pick(0, 80)));
                x += word + 6;
            }
        }
    }
    p.end();
    return img;
}

void sendMouse(QWidget& w, QEvent::Type type, QPoint p)
{
    const Qt::MouseButton b = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(p), w.mapToGlobal(QPointF(p)), b,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void escape(QWidget& w)
{
    QKeyEvent e(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void BM_OverlayFirstPaint(benchmark::State& state)
{
    const QImage frozen = screenLike(int(state.range(0)), int(state.range(1)));
    const CaptureArea area{0, 0, frozen.width(), frozen.height()};
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        std::optional<qint64> firstPaint;
        SelectRgnDialog dialog(area, frozen);
        dialog.afterPaint = [&](const QRect&) {
            if (firstPaint) return;
            firstPaint = t.nsecsElapsed();
            QTimer::singleShot(0, &dialog, [&dialog] { escape(dialog); });
        };
        try {
            dialog.Run();
        } catch (const ComError&) {
        }
        state.SetIterationTime(double(firstPaint.value_or(t.nsecsElapsed())) / 1e9);
    }
}

void BM_OverlayDragRepaint(benchmark::State& state)
{
    const QImage frozen = screenLike(int(state.range(0)), int(state.range(1)));
    const CaptureArea area{0, 0, frozen.width(), frozen.height()};
    SelectRgnDialog dialog(area, frozen);
    bool painted = false;
    dialog.afterPaint = [&](const QRect&) { painted = true; };
    QTimer::singleShot(0, &dialog, [&] {
        while (!painted)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const QPoint anchor(area.width() / 4, area.height() / 4);
        sendMouse(dialog, QEvent::MouseButtonPress, anchor);
        int step = 0;
        // A large selection whose corner moves a few pixels per event, like a real drag.
        for (auto _ : state) {
            const int d = (step++ % 20) * 3;
            const QPoint to(area.width() * 3 / 4 + d, area.height() * 3 / 4 + d);
            QElapsedTimer t;
            t.start();
            sendMouse(dialog, QEvent::MouseMove, to);
            state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
        }
        escape(dialog);
    });
    try {
        dialog.Run();
    } catch (const ComError&) {
    }
}

BENCHMARK(BM_OverlayFirstPaint)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_OverlayDragRepaint)
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace
} // namespace tarvo

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
