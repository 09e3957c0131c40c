// tarvo_genres: draws the program's icons, cursor and splash picture and synthesises its two
// sounds, writing them under the given res/ folder. The outputs are committed; rerun this only
// when the artwork changes:
//
//   QT_QPA_PLATFORM=offscreen tarvo_genres <repo>/res
//
// Everything is drawn from geometry, so repeated runs give byte-identical files.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

bool fail(const QString& what)
{
    std::fprintf(stderr, "tarvo_genres: %s\n", qPrintable(what));
    return false;
}

bool saveImage(const QImage& image, const QString& path)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return fail(QStringLiteral("cannot create folder for %1").arg(path));
    if (!image.save(path, "PNG")) return fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s (%dx%d)\n", qPrintable(path), image.width(), image.height());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Palette shared by the icons and the splash picture.

const QColor kTileTop(0x4d, 0xa6, 0xf5);
const QColor kTileBottom(0x17, 0x5c, 0xc4);
const QColor kTileOutline(0x0b, 0x2a, 0x55, 235);
const QColor kBadgeTop(0xff, 0xb0, 0x3a);
const QColor kBadgeBottom(0xef, 0x6c, 0x00);
const QColor kBadgeOutline(0x6b, 0x2c, 0x00, 235);

// ---------------------------------------------------------------------------------------------
// Tray / application icon: a blue rounded tile with white viewfinder corners framing a
// selection rectangle. Each size has its own hand-fitted pixel grid so the strokes land on
// whole pixels instead of blurring the way a downscaled master would at 16 px.

struct IconGrid
{
    int size;
    qreal radius; // corner radius of the tile
    int inset;    // tile edge to the outer edge of the viewfinder corners
    int arm;      // length of each corner arm
    int stroke;   // thickness of the corner arms and the selection border
    QRect selection;
    QRect badge; // bounding square of the upload badge (136 only)
    int arrowShaft;
};

const IconGrid kGrids[] = {
    {16, 3.0, 2, 4, 1, QRect(5, 5, 6, 6), QRect(7, 7, 9, 9), 1},
    {22, 4.0, 3, 5, 1, QRect(7, 7, 8, 8), QRect(10, 10, 12, 12), 2},
    {24, 4.5, 3, 6, 2, QRect(8, 8, 8, 8), QRect(11, 11, 13, 13), 2},
    {32, 6.0, 5, 7, 2, QRect(11, 11, 10, 10), QRect(16, 16, 16, 16), 2},
    {48, 9.0, 7, 11, 3, QRect(16, 16, 16, 16), QRect(23, 23, 25, 25), 3},
};

void drawTile(QPainter& p, int size, qreal radius)
{
    const QRectF r(0.5, 0.5, size - 1, size - 1);
    QLinearGradient fill(0, 0, 0, size);
    fill.setColorAt(0, kTileTop);
    fill.setColorAt(1, kTileBottom);
    p.setPen(QPen(kTileOutline, 1));
    p.setBrush(fill);
    p.drawRoundedRect(r, radius, radius);
    // A faint inner highlight keeps the tile from reading as a flat blob on dark panels.
    if (size >= 32) {
        p.setPen(QPen(QColor(255, 255, 255, 70), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }
}

void drawViewfinder(QPainter& p, const IconGrid& g)
{
    const QColor white(255, 255, 255);
    const int lo = g.inset;
    const int hi = g.size - g.inset; // exclusive
    const int a = g.arm;
    const int t = g.stroke;
    // Four L-shaped corners, as whole-pixel rectangles.
    p.fillRect(QRect(lo, lo, a, t), white);
    p.fillRect(QRect(lo, lo, t, a), white);
    p.fillRect(QRect(hi - a, lo, a, t), white);
    p.fillRect(QRect(hi - t, lo, t, a), white);
    p.fillRect(QRect(lo, hi - t, a, t), white);
    p.fillRect(QRect(lo, hi - a, t, a), white);
    p.fillRect(QRect(hi - a, hi - t, a, t), white);
    p.fillRect(QRect(hi - t, hi - a, t, a), white);

    // The selection: a translucent white pane with a solid border.
    const QRect s = g.selection;
    p.fillRect(s, QColor(255, 255, 255, 110));
    p.fillRect(QRect(s.left(), s.top(), s.width(), t), white);
    p.fillRect(QRect(s.left(), s.bottom() + 1 - t, s.width(), t), white);
    p.fillRect(QRect(s.left(), s.top(), t, s.height()), white);
    p.fillRect(QRect(s.right() + 1 - t, s.top(), t, s.height()), white);
}

// Orange disc with an upward arrow in the lower-right corner: "sending".
void drawUploadBadge(QPainter& p, const IconGrid& g)
{
    const QRectF b = g.badge;
    // Knock a transparent ring out of the tile so the badge reads as separate at 16 px.
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawEllipse(b.adjusted(-1.2, -1.2, 1.2, 1.2));
    p.restore();

    QLinearGradient fill(b.topLeft(), b.bottomLeft());
    fill.setColorAt(0, kBadgeTop);
    fill.setColorAt(1, kBadgeBottom);
    // At 16 px a dark rim muddies the small disc; a deeper orange still edges it on light panels.
    p.setPen(QPen(g.size == 16 ? QColor(0xc4, 0x52, 0x00) : kBadgeOutline, 1));
    p.setBrush(fill);
    p.drawEllipse(b.adjusted(0.5, 0.5, -0.5, -0.5));

    const QColor white(255, 255, 255);
    if (g.size == 16) {
        // Too small for a polygon to stay sharp: set the arrow pixel by pixel.
        const int cx = g.badge.left() + g.badge.width() / 2;
        const int top = g.badge.top() + 2;
        p.fillRect(QRect(cx, top, 1, 1), white);
        p.fillRect(QRect(cx - 1, top + 1, 3, 1), white);
        p.fillRect(QRect(cx - 2, top + 2, 5, 1), white);
        p.fillRect(QRect(cx, top + 3, 1, 3), white);
        return;
    }
    const qreal cx = b.center().x();
    const qreal cy = b.center().y();
    const qreal d = b.width();
    const qreal half = std::round(d * 0.30); // half the arrow's height
    const qreal head = std::round(d * 0.26); // half the head's width
    const qreal shaft = g.arrowShaft / 2.0;
    const qreal tip = cy - half;
    const qreal neck = tip + head;
    QPainterPath arrow;
    arrow.moveTo(cx, tip);
    arrow.lineTo(cx + head, neck);
    arrow.lineTo(cx + shaft, neck);
    arrow.lineTo(cx + shaft, cy + half);
    arrow.lineTo(cx - shaft, cy + half);
    arrow.lineTo(cx - shaft, neck);
    arrow.lineTo(cx - head, neck);
    arrow.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(white);
    p.drawPath(arrow);
}

QImage drawIcon(const IconGrid& g, bool uploading)
{
    QImage image(g.size, g.size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawTile(p, g.size, g.radius);
    drawViewfinder(p, g);
    if (uploading) drawUploadBadge(p, g);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The same motif at an arbitrary size, for the splash picture.
void drawIconVector(QPainter& p, const QRectF& box)
{
    const qreal s = box.width();
    const qreal u = s / 48.0;
    p.save();
    p.translate(box.topLeft());
    const QRectF tile(0.5 * u, 0.5 * u, s - u, s - u);
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0, kTileTop);
    fill.setColorAt(1, kTileBottom);
    p.setPen(QPen(kTileOutline, u));
    p.setBrush(fill);
    p.drawRoundedRect(tile, 9 * u, 9 * u);
    p.setPen(QPen(QColor(255, 255, 255, 70), u));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(tile.adjusted(u, u, -u, -u), 8 * u, 8 * u);

    const qreal lo = 7 * u;
    const qreal hi = s - 7 * u;
    const qreal a = 11 * u;
    const qreal t = 3 * u;
    const QColor white(255, 255, 255);
    QPen pen(white, t, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    const qreal m = t / 2; // stroke runs along the middle of each arm
    auto corner = [&](qreal x, qreal y, qreal dx, qreal dy) {
        QPainterPath path;
        path.moveTo(x + dx * (a - m), y);
        path.lineTo(x, y);
        path.lineTo(x, y + dy * (a - m));
        p.drawPath(path);
    };
    corner(lo + m, lo + m, 1, 1);
    corner(hi - m, lo + m, -1, 1);
    corner(lo + m, hi - m, 1, -1);
    corner(hi - m, hi - m, -1, -1);

    const QRectF sel(16 * u + m, 16 * u + m, 16 * u - t, 16 * u - t);
    p.setBrush(QColor(255, 255, 255, 110));
    p.drawRoundedRect(sel, u, u);
    p.restore();
}

// ---------------------------------------------------------------------------------------------
// Capture cursor: 32x32, hot spot at pixel (16, 11). A one-pixel black crosshair with a white
// halo so it shows on any background, and a small framed landscape at the lower right so the
// user can tell this cursor apart from an ordinary crosshair.

constexpr int kCursorSize = 32;
constexpr int kHotX = 16;
constexpr int kHotY = 11;

QImage drawCursor()
{
    QImage image(kCursorSize, kCursorSize, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);

    // Arms stop short of the centre, so the halo leaves a white ring around a single dot on
    // the hot spot: the aim point stays obvious.
    constexpr int reach = 10;
    constexpr int gap = 2;
    for (int d = gap + 1; d <= reach; ++d) {
        image.setPixel(kHotX - d, kHotY, black);
        image.setPixel(kHotX + d, kHotY, black);
        image.setPixel(kHotX, kHotY - d, black);
        image.setPixel(kHotX, kHotY + d, black);
    }
    image.setPixel(kHotX, kHotY, black);

    // The picture: black frame, sky, sun, two hills.
    const QRect frame(20, 20, 11, 10);
    const QRgb sky = qRgb(0x8f, 0xd0, 0xff);
    const QRgb sun = qRgb(0xff, 0xc8, 0x1e);
    const QRgb hill = qRgb(0x3c, 0xa0, 0x3c);
    const QRgb hillFar = qRgb(0x2a, 0x7a, 0x34);
    for (int y = frame.top(); y <= frame.bottom(); ++y) {
        for (int x = frame.left(); x <= frame.right(); ++x) {
            const bool edge =
                x == frame.left() || x == frame.right() || y == frame.top() || y == frame.bottom();
            image.setPixel(x, y, edge ? black : sky);
        }
    }
    image.setPixel(27, 22, sun);
    image.setPixel(28, 22, sun);
    image.setPixel(27, 23, sun);
    image.setPixel(28, 23, sun);
    // Far hill peaking near the right, near hill on the left; both run to the bottom edge.
    const int farTop[] = {9, 9, 9, 9, 8, 7, 6, 6, 7};  // per column 21..29, in frame rows
    const int nearTop[] = {5, 5, 6, 7, 8, 9, 9, 9, 9}; // likewise
    for (int i = 0; i < 9; ++i) {
        const int x = frame.left() + 1 + i;
        for (int y = frame.top() + farTop[i]; y < frame.bottom(); ++y)
            image.setPixel(x, y, hillFar);
        for (int y = frame.top() + nearTop[i]; y < frame.bottom(); ++y)
            image.setPixel(x, y, hill);
    }

    // White halo: every transparent pixel touching a drawn one (8-neighbourhood).
    const QImage shape = image.copy();
    for (int y = 0; y < kCursorSize; ++y) {
        for (int x = 0; x < kCursorSize; ++x) {
            if (qAlpha(shape.pixel(x, y)) != 0) continue;
            bool touches = false;
            for (int dy = -1; dy <= 1 && !touches; ++dy) {
                for (int dx = -1; dx <= 1 && !touches; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    touches = shape.valid(nx, ny) && qAlpha(shape.pixel(nx, ny)) != 0;
                }
            }
            if (touches) image.setPixel(x, y, white);
        }
    }
    return image;
}

// ---------------------------------------------------------------------------------------------
// Splash picture: 360x240, no alpha.

bool resolveFont(const QString& family)
{
    if (QFontInfo(QFont(family)).family() == family) return true;
    // Fall back to loading the files directly when fontconfig does not offer the family.
    for (const char* file : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf"}) {
        for (const char* dir : {"/usr/share/fonts/truetype/dejavu/", "/usr/share/fonts/dejavu/",
                                "/usr/share/fonts/TTF/"}) {
            QFontDatabase::addApplicationFont(QString::fromLatin1(dir) + QLatin1String(file));
        }
    }
    return QFontInfo(QFont(family)).family() == family;
}

QImage drawSplash()
{
    constexpr int w = 360;
    constexpr int h = 240;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient bg(0, 0, w, h);
    bg.setColorAt(0, QColor(0x0c, 0x1f, 0x3d));
    bg.setColorAt(0.55, QColor(0x14, 0x4a, 0x8c));
    bg.setColorAt(1, QColor(0x1d, 0x8a, 0xc8));
    p.fillRect(image.rect(), bg);

    // Soft glow behind the icon.
    QRadialGradient glow(QPointF(104, 120), 120);
    glow.setColorAt(0, QColor(120, 190, 255, 90));
    glow.setColorAt(1, QColor(120, 190, 255, 0));
    p.fillRect(image.rect(), glow);

    // Large faint viewfinder corners around the whole picture.
    p.setPen(QPen(QColor(255, 255, 255, 60), 2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    constexpr int in = 14;
    constexpr int arm = 26;
    p.drawPolyline(QPolygon({QPoint(in, in + arm), QPoint(in, in), QPoint(in + arm, in)}));
    p.drawPolyline(
        QPolygon({QPoint(w - in - arm, in), QPoint(w - in, in), QPoint(w - in, in + arm)}));
    p.drawPolyline(
        QPolygon({QPoint(in, h - in - arm), QPoint(in, h - in), QPoint(in + arm, h - in)}));
    p.drawPolyline(QPolygon(
        {QPoint(w - in - arm, h - in), QPoint(w - in, h - in), QPoint(w - in, h - in - arm)}));

    // Drop shadow, then the icon.
    for (int i = 6; i >= 1; --i) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 14));
        p.drawRoundedRect(QRectF(44 - i, 66 - i + 3, 120 + 2 * i, 120 + 2 * i), 24 + i, 24 + i);
    }
    drawIconVector(p, QRectF(44, 60, 120, 120));

    QFont name(QStringLiteral("DejaVu Sans"));
    name.setPixelSize(46);
    name.setBold(true);
    name.setHintingPreference(QFont::PreferNoHinting);
    p.setFont(name);
    p.setPen(QColor(0, 0, 0, 70));
    p.drawText(QPointF(188, 128), QStringLiteral("Tarvo"));
    p.setPen(Qt::white);
    p.drawText(QPointF(186, 126), QStringLiteral("Tarvo"));

    p.fillRect(QRectF(188, 140, 132, 2), QColor(0xff, 0xb0, 0x3a));

    QFont version(QStringLiteral("DejaVu Sans"));
    version.setPixelSize(17);
    version.setHintingPreference(QFont::PreferNoHinting);
    p.setFont(version);
    p.setPen(QColor(0xd6, 0xe8, 0xff));
    p.drawText(QPointF(188, 166), QString::fromLatin1(TARVO_VERSION_TEXT));
    p.end();
    return image.convertToFormat(QImage::Format_RGB888);
}

// ---------------------------------------------------------------------------------------------
// Sounds: canonical 44-byte RIFF/WAVE header, 16-bit PCM, 44100 Hz.

constexpr int kRate = 44100;

void put16(QByteArray& out, std::uint16_t v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray& out, std::uint32_t v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// `samples` holds interleaved frames in [-1, 1]; they are scaled so the loudest one sits at
// `peakDb` dBFS.
bool writeWav(const QString& path, int channels, std::vector<double> samples, double peakDb,
              qint64 expectedSize)
{
    double peak = 0;
    for (double s : samples)
        peak = std::max(peak, std::abs(s));
    const double gain = peak > 0 ? std::pow(10.0, peakDb / 20.0) / peak : 0;

    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    QByteArray out;
    out.reserve(static_cast<qsizetype>(44 + dataBytes));
    out.append("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.append("WAVE", 4);
    out.append("fmt ", 4);
    put32(out, 16); // PCM format chunk size
    put16(out, 1);  // PCM
    put16(out, static_cast<std::uint16_t>(channels));
    put32(out, kRate);
    put32(out, static_cast<std::uint32_t>(kRate * channels * 2)); // byte rate
    put16(out, static_cast<std::uint16_t>(channels * 2));         // block align
    put16(out, 16);                                               // bits per sample
    out.append("data", 4);
    put32(out, dataBytes);
    for (double s : samples) {
        const long v = std::lround(std::clamp(s * gain, -1.0, 1.0) * 32767.0);
        put16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
    }

    if (out.size() != expectedSize)
        return fail(QStringLiteral("%1: %2 bytes, expected %3")
                        .arg(path)
                        .arg(out.size())
                        .arg(expectedSize));
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return fail(QStringLiteral("cannot create folder for %1").arg(path));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(out) != out.size())
        return fail(QStringLiteral("cannot write %1").arg(path));
    std::printf("%s (%lld bytes)\n", qPrintable(path), static_cast<long long>(out.size()));
    return true;
}

// Raised-cosine ramp from 0 to 1 over `len` samples.
double ramp(double i, double len)
{
    if (i >= len) return 1.0;
    if (i <= 0) return 0.0;
    return 0.5 - 0.5 * std::cos(std::numbers::pi * i / len);
}

// Success: a short bright blip, 2215 mono samples.
std::vector<double> successSound()
{
    constexpr int n = 2215;
    constexpr double freq = 2600.0;
    constexpr double decay = 0.009;   // seconds per 1/e
    constexpr double attack = 0.0012; // long enough to avoid a click at the start
    constexpr double release = 0.004; // ensures the last sample lands on silence
    std::vector<double> out(n);
    for (int i = 0; i < n; ++i) {
        const double t = double(i) / kRate;
        const double env =
            ramp(i, attack * kRate) * ramp(n - 1 - i, release * kRate) * std::exp(-t / decay);
        const double w = 2 * std::numbers::pi * freq * t;
        out[i] = env * (std::sin(w) + 0.22 * std::sin(2 * w));
    }
    return out;
}

// Failure: a softer tone gliding down an octave, 28419 stereo frames.
std::vector<double> failureSound()
{
    constexpr int frames = 28419;
    constexpr double from = 600.0;
    constexpr double to = 300.0;
    constexpr double attack = 0.035;
    constexpr double release = 0.22;
    const double length = double(frames) / kRate;
    std::vector<double> out(2 * frames);
    double phase = 0;
    for (int i = 0; i < frames; ++i) {
        const double t = double(i) / kRate;
        // Exponential glide sounds even to the ear (equal pitch steps per unit time).
        const double freq = from * std::pow(to / from, t / length);
        const double env = ramp(i, attack * kRate) * ramp(frames - 1 - i, release * kRate) *
                           (1.0 - 0.3 * t / length);
        const double s = env * (std::sin(phase) + 0.12 * std::sin(2 * phase));
        out[2 * i] = s;
        out[2 * i + 1] = s;
        phase += 2 * std::numbers::pi * freq / kRate;
    }
    return out;
}

} // namespace

// The application icon at the larger theme sizes, where the vector motif is sharp enough.
QImage drawLargeIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawIconVector(p, QRectF(0, 0, size, size));
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

int main(int argc, char** argv)
{
    // Nothing here needs a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <res folder>\n", argv[0]);
        return 2;
    }
    const QDir res(QString::fromLocal8Bit(argv[1]));
    auto at = [&](const char* rel) { return res.filePath(QString::fromLatin1(rel)); };

    if (!resolveFont(QStringLiteral("DejaVu Sans"))) {
        fail(QStringLiteral("the DejaVu Sans font is not available"));
        return 1;
    }

    bool ok = true;
    // The icon theme's copies: the application icon, and the tray's idle and busy pictures
    // as status icons for tray hosts that take icons by name.
    const QString themed = QStringLiteral("icons/hicolor/%1x%1/%2/" TARVO_APP_ID "%3.png");
    for (const IconGrid& g : kGrids) {
        const QImage idle = drawIcon(g, false);
        const QImage busy = drawIcon(g, true);
        if (g.size == 16 || g.size == 32 || g.size == 48) {
            ok &= saveImage(idle, res.filePath(QStringLiteral("icons/128-%1.png").arg(g.size)));
            ok &= saveImage(busy, res.filePath(QStringLiteral("icons/136-%1.png").arg(g.size)));
        }
        ok &= saveImage(idle, res.filePath(themed.arg(g.size).arg(u"apps", u"")));
        ok &= saveImage(idle, res.filePath(themed.arg(g.size).arg(u"status", u"-idle")));
        ok &= saveImage(busy, res.filePath(themed.arg(g.size).arg(u"status", u"-busy")));
    }
    for (int size : {64, 128, 256})
        ok &= saveImage(drawLargeIcon(size), res.filePath(themed.arg(size).arg(u"apps", u"")));
    ok &= saveImage(drawCursor(), at("cursors/134.png"));
    ok &= saveImage(drawSplash(), at("bitmaps/131.png"));
    ok &= writeWav(at("sounds/137.wav"), 1, successSound(), -6.0, 4474);
    ok &= writeWav(at("sounds/138.wav"), 2, failureSound(), -10.0, 113720);
    return ok ? 0 : 1;
}
