// Pointer motion to updated selection on the overlay the X server paints: one selection change
// and a round trip, so the time includes the server drawing the changed strips. Needs an X
// display of the size to measure, e.g.
//   xvfb-run -s "-screen 0 3840x2160x24" build/bench/bench/tarvo_server_overlay_bench
#include "platform/x11/server_overlay.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <xcb/xcb.h>

namespace tarvo {
namespace {

xcb_connection_t* connection()
{
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// Waits until the server has carried out every request sent so far.
void sync(xcb_connection_t* c)
{
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// A drag from the top left towards the bottom right, a few pixels per motion event, as a hand
// moves the pointer; the selection grows and the strips along its right and bottom change.
void BM_DragStep(benchmark::State& state)
{
    QImage cursor(32, 32, QImage::Format_ARGB32);
    cursor.fill(Qt::transparent);
    auto* overlay = platform::x11::ServerOverlay::Get(cursor, QPoint(16, 16));
    xcb_connection_t* c = connection();
    if (!overlay || !c) {
        state.SkipWithError("no X display with RENDER");
        return;
    }
    const auto frozen = overlay->Freeze();
    if (!frozen || !overlay->Show(*frozen, {}, [] { return false; })) {
        state.SkipWithError("the overlay did not show");
        return;
    }
    const QRect screen = frozen->Area();
    const int step = int(state.range(0));
    int w = 0;
    for (auto _ : state) {
        w = (w + step) % (screen.width() - 200);
        const auto start = std::chrono::steady_clock::now();
        overlay->SetSelection(QRect(100, 100, w + 1, (w + 1) * screen.height() / screen.width()));
        sync(c);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.counters["width"] = screen.width();
    state.counters["height"] = screen.height();
    overlay->Hide();
}
BENCHMARK(BM_DragStep)->Arg(3)->Arg(40)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace tarvo

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
