// The selection overlay driven by synthetic input from inside its own loop, and what it puts in
// its window's backing store.
#include "capture/overlay.h"
#include "platform/hresult.h"
#include "support/wait.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

namespace tarvo {
namespace {

QImage pattern(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb((x * 3) & 0xFF, (y * 5) & 0xFF, (x + y) & 0xFF));
    return img;
}

// Positions are given in device pixels and reach the widget the way the toolkit delivers them:
// divided by the scale factor.
void mouse(QWidget& w, QEvent::Type type, QPoint device, Qt::MouseButton button = Qt::LeftButton)
{
    const qreal inv = 1.0 / w.devicePixelRatioF();
    const QPointF local(device.x() * inv, device.y() * inv);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent e(type, local, w.mapToGlobal(local),
                  type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void key(QWidget& w, int k)
{
    QKeyEvent e(QEvent::KeyPress, k, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}

void event(QWidget& w, QEvent::Type type)
{
    QEvent e(type);
    QApplication::sendEvent(&w, &e);
}

struct Outcome
{
    SelectionRect selection;
    std::optional<HRESULT> error;
};

// Runs the overlay; the script acts on it once its loop runs.
Outcome runOverlay(SelectRgnDialog& dialog, std::function<void(SelectRgnDialog&)> script)
{
    QTimer::singleShot(0, &dialog, [&dialog, script] { script(dialog); });
    Outcome out;
    try {
        out.selection = dialog.Run();
    } catch (const ComError& e) {
        out.error = e.Error();
    }
    return out;
}

// What the window really shows: its backing store, not a fresh rendering.
QImage shown(SelectRgnDialog& dialog)
{
    // Nothing is in the store before the first paint has been flushed.
    if (!test::ProcessEventsUntil(
            [&] { return !dialog.windowHandle()->screen()->grabWindow(dialog.winId()).isNull(); }))
        return {};
    return dialog.windowHandle()
        ->screen()
        ->grabWindow(dialog.winId())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QRgb over(QRgb dst, QRgb src)
{
    const int a = qAlpha(src);
    const auto ch = [a](int s, int d) { return (s * a + d * (255 - a) + 127) / 255; };
    return qRgb(ch(qRed(src), qRed(dst)), ch(qGreen(src), qGreen(dst)), ch(qBlue(src), qBlue(dst)));
}

bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 1 && std::abs(qGreen(a) - qGreen(b)) <= 1 &&
           std::abs(qBlue(a) - qBlue(b)) <= 1;
}

// Checks the picture against the frozen image with the selection painted over it: the fill
// over x..x+w-1, the 1-pixel outline over x..x+w (and y likewise), everything else untouched.
int wrongPixels(const QImage& shot, const QImage& frozen, const SelectionRect& s)
{
    int wrong = 0;
    for (int y = 0; y < frozen.height(); ++y) {
        for (int x = 0; x < frozen.width(); ++x) {
            QRgb expect = frozen.pixel(x, y);
            const bool inX = x >= s.x && x <= s.x + s.width, inY = y >= s.y && y <= s.y + s.height;
            const bool fill = s.width > 0 && s.height > 0 && x >= s.x && x < s.x + s.width &&
                              y >= s.y && y < s.y + s.height;
            const bool outline =
                s.width >= 0 && s.height >= 0 && inX && inY &&
                (x == s.x || x == s.x + s.width || y == s.y || y == s.y + s.height);
            if (fill) expect = over(expect, SelectRgnDialog::kFill);
            if (outline) expect = over(expect, SelectRgnDialog::kOutline);
            const QRgb got = shot.pixel(x, y);
            if (!(fill || outline) ? got != expect : !near(got, expect)) {
                if (wrong < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << got
                                  << " want " << expect;
                ++wrong;
            }
        }
    }
    return wrong;
}

const CaptureArea kArea{0, 0, 640, 480};

TEST(Overlay, DragInEveryDirectionReturnsTheRectangle)
{
    const QImage frozen = pattern(640, 480);
    const struct
    {
        QPoint from, via, to;
        SelectionRect expected;
    } drags[] = {
        {{100, 100}, {200, 180}, {300, 250}, {100, 100, 200, 150}},
        {{300, 250}, {200, 180}, {100, 100}, {100, 100, 200, 150}},
        {{300, 100}, {250, 120}, {100, 250}, {100, 100, 200, 150}},
        {{100, 250}, {120, 200}, {300, 100}, {100, 100, 200, 150}},
        {{50, 60}, {80, 90}, {50, 60}, {50, 60, 0, 0}}, // back to the start
        {{639, 479}, {10, 10}, {0, 0}, {0, 0, 639, 479}},
    };
    for (const auto& d : drags) {
        SelectRgnDialog dialog(kArea, frozen);
        const Outcome out = runOverlay(dialog, [&](SelectRgnDialog& w) {
            mouse(w, QEvent::MouseMove, d.via); // before the press: ignored
            mouse(w, QEvent::MouseButtonPress, d.from);
            mouse(w, QEvent::MouseMove, d.via);
            mouse(w, QEvent::MouseMove, d.to);
            mouse(w, QEvent::MouseButtonRelease, d.to + QPoint(7, 7)); // the release does not move
        });
        EXPECT_FALSE(out.error.has_value());
        EXPECT_EQ(out.selection, d.expected);
        EXPECT_FALSE(dialog.isVisible());
    }
}

TEST(Overlay, CoversTheAreaAboveEverythingAndLeavesNoGrabBehind)
{
    const QImage frozen = pattern(640, 480);
    SelectRgnDialog dialog(kArea, frozen);
    QRect geometry;
    Qt::WindowFlags flags;
    QCursor cursor;
    runOverlay(dialog, [&](SelectRgnDialog& w) {
        geometry = w.geometry();
        flags = w.windowFlags();
        cursor = w.cursor();
        key(w, Qt::Key_Escape);
    });
    EXPECT_EQ(geometry, QRect(0, 0, 640, 480));
    EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(flags.testFlag(Qt::X11BypassWindowManagerHint));
    EXPECT_EQ(cursor.shape(), Qt::BitmapCursor);
    EXPECT_EQ(cursor.hotSpot(), QPoint(16, 11));
    // Grabs left behind would lock the whole desktop.
    EXPECT_EQ(QWidget::keyboardGrabber(), nullptr);
    EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(Overlay, EscapeAndDeactivationCancelAtAnyPhase)
{
    const QImage frozen = pattern(320, 200);
    const CaptureArea area{0, 0, 320, 200};
    const std::pair<const char*, std::function<void(SelectRgnDialog&)>> scripts[] = {
        {"escape before the press", [](SelectRgnDialog& w) { key(w, Qt::Key_Escape); }},
        {"escape while dragging",
         [](SelectRgnDialog& w) {
             mouse(w, QEvent::MouseButtonPress, {10, 10});
             mouse(w, QEvent::MouseMove, {50, 50});
             key(w, Qt::Key_Escape);
             mouse(w, QEvent::MouseButtonRelease, {50, 50});
         }},
        {"another window before the press",
         [](SelectRgnDialog& w) {
             event(w, QEvent::WindowActivate);
             event(w, QEvent::WindowDeactivate);
         }},
        {"another window while dragging",
         [](SelectRgnDialog& w) {
             event(w, QEvent::WindowActivate);
             mouse(w, QEvent::MouseButtonPress, {10, 10});
             mouse(w, QEvent::MouseMove, {50, 50});
             event(w, QEvent::WindowDeactivate);
         }},
        {"closed", [](SelectRgnDialog& w) { w.close(); }},
    };
    for (const auto& [name, script] : scripts) {
        SelectRgnDialog dialog(area, frozen);
        const Outcome out = runOverlay(dialog, script);
        ASSERT_TRUE(out.error.has_value()) << name;
        EXPECT_EQ(*out.error, CancelledCode) << name;
        EXPECT_TRUE(dialog.cancelled()) << name;
        EXPECT_FALSE(dialog.isVisible()) << name;
    }
}

TEST(Overlay, OnlyTheLeftButtonAnchorsAndReleasesAndOtherKeysDoNothing)
{
    const QImage frozen = pattern(320, 200);
    SelectRgnDialog dialog({0, 0, 320, 200}, frozen);
    const Outcome out = runOverlay(dialog, [](SelectRgnDialog& w) {
        mouse(w, QEvent::MouseButtonPress, {5, 5}, Qt::RightButton);
        mouse(w, QEvent::MouseButtonRelease, {5, 5}, Qt::RightButton);
        key(w, Qt::Key_Return);
        mouse(w, QEvent::MouseButtonPress, {20, 30});
        mouse(w, QEvent::MouseButtonPress, {90, 90}, Qt::RightButton); // no new anchor
        mouse(w, QEvent::MouseButtonRelease, {90, 90}, Qt::RightButton);
        mouse(w, QEvent::MouseMove, {60, 40});
        mouse(w, QEvent::MouseButtonRelease, {60, 40});
    });
    EXPECT_FALSE(out.error.has_value());
    EXPECT_EQ(out.selection, (SelectionRect{20, 30, 40, 10}));
}

TEST(Overlay, ReleaseWithoutAMoveLeavesTheSizeUnset)
{
    const QImage frozen = pattern(320, 200);
    SelectRgnDialog dialog({0, 0, 320, 200}, frozen);
    const Outcome out = runOverlay(dialog, [](SelectRgnDialog& w) {
        mouse(w, QEvent::MouseButtonPress, {100, 100});
        mouse(w, QEvent::MouseMove, {100, 100}); // the same point is no move
        mouse(w, QEvent::MouseButtonRelease, {100, 100});
    });
    EXPECT_FALSE(out.error.has_value());
    EXPECT_EQ(out.selection, (SelectionRect{100, 100, -1, -1}));
}

TEST(Overlay, PaintsTheFrozenImageWithTheSelectionAndRepaintsOnlyWhatChanged)
{
    const QImage frozen = pattern(640, 480);
    SelectRgnDialog dialog(kArea, frozen);
    std::vector<QRect> painted;
    dialog.afterPaint = [&](const QRect& r) { painted.push_back(r); };
    QImage before, grown, shrunk, flipped;
    std::vector<QRect> moves; // what each move repainted
    const auto move = [&](SelectRgnDialog& w, QPoint p) {
        painted.clear();
        mouse(w, QEvent::MouseMove, p);
        moves.insert(moves.end(), painted.begin(), painted.end());
    };
    runOverlay(dialog, [&](SelectRgnDialog& w) {
        before = shown(w);
        mouse(w, QEvent::MouseButtonPress, {100, 100});
        move(w, {300, 250});
        grown = shown(w);
        move(w, {150, 140}); // smaller: the old outline must go
        shrunk = shown(w);
        move(w, {40, 30}); // through the anchor to the other side
        flipped = shown(w);
        mouse(w, QEvent::MouseButtonRelease, {40, 30});
    });
    ASSERT_EQ(before.size(), QSize(640, 480));
    EXPECT_EQ(before, frozen);
    EXPECT_EQ(wrongPixels(grown, frozen, {100, 100, 200, 150}), 0);
    EXPECT_EQ(wrongPixels(shrunk, frozen, {100, 100, 50, 40}), 0);
    EXPECT_EQ(wrongPixels(flipped, frozen, {40, 30, 60, 70}), 0);
    // Each move repainted, at once and only around the old and the new rectangle.
    const std::vector<QRect> expected{QRect(99, 99, 203, 153), QRect(99, 99, 203, 153),
                                      QRect(39, 29, 113, 113)};
    EXPECT_EQ(moves, expected);
}

// Run in a child with QT_SCALE_FACTOR set (the scale is fixed when the application starts).
TEST(OverlayScaled, DragAndPaintInDevicePixels)
{
    if (!qEnvironmentVariableIsSet("TARVO_OVERLAY_SCALE_CHILD"))
        GTEST_SKIP() << "runs inside Overlay.UnderDisplayScaling";
    const QImage frozen = pattern(641, 481); // odd sizes: the last pixel has no logical pixel
    SelectRgnDialog dialog({0, 0, 641, 481}, frozen);
    QImage grown;
    qreal dpr = 0;
    const Outcome out = runOverlay(dialog, [&](SelectRgnDialog& w) {
        dpr = w.devicePixelRatioF();
        mouse(w, QEvent::MouseButtonPress, {301, 251});
        mouse(w, QEvent::MouseMove, {200, 180});
        mouse(w, QEvent::MouseMove, {101, 99});
        // A fresh rendering at the window's scale (the offscreen store cannot be read back in
        // device pixels).
        grown = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
        mouse(w, QEvent::MouseButtonRelease, {101, 99});
    });
    EXPECT_EQ(dpr, qgetenv("QT_SCALE_FACTOR").toDouble());
    ASSERT_FALSE(out.error.has_value());
    EXPECT_EQ(out.selection, (SelectionRect{101, 99, 200, 152}));
    ASSERT_GE(grown.width(), 641);
    ASSERT_GE(grown.height(), 481);
    EXPECT_EQ(wrongPixels(grown.copy(0, 0, 641, 481), frozen, out.selection), 0);
}

TEST(Overlay, UnderDisplayScaling)
{
    for (const char* scale : {"1.5", "2"}) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_SCALE_FACTOR", scale);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TARVO_OVERLAY_SCALE_CHILD", "1");
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=OverlayScaled.DragAndPaintInDevicePixels"});
        ASSERT_TRUE(child.waitForFinished(60000)) << scale;
        const QByteArray output = child.readAll();
        EXPECT_EQ(child.exitCode(), 0) << "scale " << scale << "\n" << output.constData();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.constData();
    }
}

} // namespace
} // namespace tarvo
