// Encoding speed (and encoded size, as the "bytes" counter) on deterministic screen-like
// pictures at full HD and 4K: the program's encoders against Qt's own writers.
#include "imaging/codecs.h"
#include "imaging/encode_upload.h"
#include "imaging/encoders.h"
#include "platform/services.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <benchmark/benchmark.h>
#include <map>

namespace {

using namespace tarvo;

// Window chrome, flat panels, lines of text, a gradient and a photo-like patch.
QImage drawScreen(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(236, 236, 236));
    QPainter p(&img);
    QRandomGenerator rng(1234);
    const double s = w / 1920.0;

    QLinearGradient sky(0, 0, 0, h);
    sky.setColorAt(0, QColor(40, 70, 120));
    sky.setColorAt(1, QColor(150, 180, 220));
    p.fillRect(QRectF(0, 0, w, h), sky); // desktop background

    const QRectF windows[] = {{60 * s, 40 * s, 1100 * s, 900 * s},
                              {900 * s, 200 * s, 960 * s, 820 * s}};
    for (const QRectF& r : windows) {
        p.fillRect(r, QColor(250, 250, 250));
        p.fillRect(QRectF(r.left(), r.top(), r.width(), 32 * s), QColor(60, 63, 65));
        p.fillRect(QRectF(r.left(), r.top() + 32 * s, 220 * s, r.height() - 32 * s),
                   QColor(225, 228, 232));
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(int(14 * s));
        p.setFont(f);
        p.setPen(QColor(30, 30, 30));
        const int lineHeight = int(20 * s);
        for (int y = int(r.top() + 60 * s); y < r.bottom() - lineHeight; y += lineHeight) {
            QString line;
            const int words = 4 + int(rng.bounded(10));
            for (int i = 0; i < words; ++i) {
                const int len = 2 + int(rng.bounded(9));
                for (int k = 0; k < len; ++k)
                    line += QChar(u'a' + rng.bounded(26));
                line += u' ';
            }
            p.drawText(QPointF(r.left() + 240 * s, y), line);
        }
    }

    // A photo: smooth shading with grain.
    const QRect photo(int(1000 * s), int(300 * s), int(640 * s), int(420 * s));
    for (int y = photo.top(); y <= photo.bottom(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = photo.left(); x <= photo.right(); ++x) {
            const int g = int(rng.bounded(24)) - 12;
            const int r = qBound(0, 90 + (x - photo.left()) * 120 / photo.width() + g, 255);
            const int gr = qBound(0, 120 + (y - photo.top()) * 100 / photo.height() + g, 255);
            const int b = qBound(0, 60 + ((x + y) % 97) + g, 255);
            row[x] = qRgb(r, gr, b);
        }
    }
    p.fillRect(QRectF(0, h - 40 * s, w, 40 * s), QColor(30, 30, 35)); // task bar
    return img;
}

const QImage& screen(int w)
{
    static std::map<int, QImage> cache;
    auto it = cache.find(w);
    if (it == cache.end()) it = cache.emplace(w, drawScreen(w, w * 9 / 16)).first;
    return it->second;
}

void report(benchmark::State& state, qsizetype bytes)
{
    state.counters["bytes"] = double(bytes);
    state.SetLabel(std::to_string(screen(int(state.range(0))).width()) + "x" +
                   std::to_string(screen(int(state.range(0))).height()));
}

void PngLibpng(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    codecs::PngOptions o;
    o.level = int(state.range(1));
    o.adaptiveFilters = state.range(2) != 0;
    qsizetype bytes = 0;
    for (auto _ : state)
        bytes = codecs::EncodePng(img, o).size();
    report(state, bytes);
}

// The file and clipboard encoder: libdeflate over "sub"-filtered rows, at the given level.
void PngQuick(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    qsizetype bytes = 0;
    for (auto _ : state)
        bytes = codecs::EncodePngQuick(img, int(state.range(1))).size();
    report(state, bytes);
}

QByteArray qtWrite(const QImage& img, const char* format, int quality)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.write(img);
    return out;
}

void PngQtWriter(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    qsizetype bytes = 0;
    for (auto _ : state)
        bytes = qtWrite(img, "png", -1).size();
    report(state, bytes);
}

void JpegTurbo(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    const auto sub =
        state.range(1) ? codecs::ChromaSubsampling::S444 : codecs::ChromaSubsampling::S420;
    qsizetype bytes = 0;
    for (auto _ : state)
        bytes = codecs::EncodeJpeg(img, 70, sub).size();
    report(state, bytes);
}

void JpegQtWriter(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    qsizetype bytes = 0;
    for (auto _ : state)
        bytes = qtWrite(img, "jpeg", 70).size();
    report(state, bytes);
}

void EncodeForUploadWhole(benchmark::State& state)
{
    const QImage& img = screen(int(state.range(0)));
    qsizetype bytes = 0;
    const ScopedServices services(
        [&](Services& s) { s.startUpload = [&](auto job) { bytes = job->image.size(); }; });
    for (auto _ : state)
        EncodeForUpload(img, QString());
    report(state, bytes);
}

// A fragment of about 800x600 takes the PNG route at quality 85.
void EncodeForUploadFragment(benchmark::State& state)
{
    const QImage img = screen(int(state.range(0))).copy(0, 0, 800, 600);
    qsizetype bytes = 0;
    const ScopedServices services(
        [&](Services& s) { s.startUpload = [&](auto job) { bytes = job->image.size(); }; });
    for (auto _ : state)
        EncodeForUpload(img, QString());
    state.counters["bytes"] = double(bytes);
}

// {width, zlib level, adaptive filters}
BENCHMARK(PngLibpng)
    ->ArgsProduct({{1920, 3840}, {1, 2, 3, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PngQuick)->ArgsProduct({{1920, 3840}, {1, 5}})->Unit(benchmark::kMillisecond);
BENCHMARK(PngQtWriter)->Arg(1920)->Arg(3840)->Unit(benchmark::kMillisecond);
// {width, 4:4:4}
BENCHMARK(JpegTurbo)->ArgsProduct({{1920, 3840}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(JpegQtWriter)->Arg(1920)->Arg(3840)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeForUploadWhole)->Arg(1920)->Arg(3840)->Unit(benchmark::kMillisecond);
BENCHMARK(EncodeForUploadFragment)->Arg(1920)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv); // fonts for the text on the pictures
    // TARVO_BENCH_PICTURE=file.png saves the full-HD picture, to see what is measured.
    if (const QString out = qEnvironmentVariable("TARVO_BENCH_PICTURE"); !out.isEmpty())
        screen(1920).save(out);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
