#include "platform/wayland/screen_copy.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <QPainter>
#include <QTransform>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace tarvo::platform::wayland {

namespace {

using Clock = std::chrono::steady_clock;

// Every pixel opaque: the formats with an alpha channel carry whatever the compositor's
// framebuffer held there, which is not transparency on a screen.
void ForceOpaque(QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] |= 0xff000000u;
    }
}

// The toolkit's layout of a wl_shm format in memory (little-endian words), alpha ignored.
QImage::Format ImageFormatFor(uint32_t shmFormat)
{
    switch (shmFormat) {
    case WL_SHM_FORMAT_ARGB8888:
    case WL_SHM_FORMAT_XRGB8888:
        return QImage::Format_RGB32;
    case WL_SHM_FORMAT_ABGR8888:
    case WL_SHM_FORMAT_XBGR8888:
        return QImage::Format_RGBX8888;
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
        return QImage::Format_RGB30;
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
        return QImage::Format_BGR30;
    default:
        return QImage::Format_Invalid;
    }
}

struct Output
{
    wl_output* output = nullptr;
    zxdg_output_v1* xdg = nullptr;
    QString name{};
    QPoint position{};   // wl_output.geometry, for a compositor without xdg-output
    QPoint logicalPos{}; // xdg-output
    QSize logicalSize{};
    QSize mode{};
    int scale = 1;
    int transform = WL_OUTPUT_TRANSFORM_NORMAL;

    zwlr_screencopy_frame_v1* frame = nullptr;
    uint32_t format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    bool buffer = false;
    bool yInvert = false;
    bool ready = false;
    bool failed = false;
    wl_buffer* shmBuffer = nullptr;
    void* data = MAP_FAILED;
    size_t size = 0;

    ~Output()
    {
        if (shmBuffer) wl_buffer_destroy(shmBuffer);
        if (data != MAP_FAILED) ::munmap(data, size);
        if (frame) zwlr_screencopy_frame_v1_destroy(frame);
        if (xdg) zxdg_output_v1_destroy(xdg);
        if (output) wl_output_destroy(output);
    }
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool done() const { return failed || ready; }
};

struct Connection
{
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_shm* shm = nullptr;
    zxdg_output_manager_v1* xdgManager = nullptr;
    zwlr_screencopy_manager_v1* copyManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    Clock::time_point deadline{};
    QString error{};

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection()
    {
        outputs.clear();
        if (copyManager) zwlr_screencopy_manager_v1_destroy(copyManager);
        if (xdgManager) zxdg_output_manager_v1_destroy(xdgManager);
        if (shm) wl_shm_destroy(shm);
        if (registry) wl_registry_destroy(registry);
        if (display) wl_display_disconnect(display);
    }

    bool fail(const QString& text)
    {
        if (error.isEmpty()) error = text;
        return false;
    }

    // Reads and dispatches events until done() holds, the deadline passes or the connection
    // breaks. The poll keeps a compositor that stops answering from hanging the caller.
    bool dispatchUntil(const std::function<bool()>& isDone)
    {
        const int fd = wl_display_get_fd(display);
        while (!isDone()) {
            while (wl_display_prepare_read(display) != 0)
                if (wl_display_dispatch_pending(display) < 0) return fail(lostText());
            if (isDone()) {
                wl_display_cancel_read(display);
                return true;
            }
            while (wl_display_flush(display) < 0) {
                if (errno != EAGAIN) {
                    wl_display_cancel_read(display);
                    return fail(lostText());
                }
                pollfd out{fd, POLLOUT, 0};
                if (::poll(&out, 1, remainingMs()) <= 0) {
                    wl_display_cancel_read(display);
                    return fail(timeoutText());
                }
            }
            pollfd in{fd, POLLIN, 0};
            const int r = ::poll(&in, 1, remainingMs());
            if (r < 0 && errno == EINTR) {
                wl_display_cancel_read(display);
                continue;
            }
            if (r <= 0) {
                wl_display_cancel_read(display);
                return fail(r == 0 ? timeoutText() : lostText());
            }
            if (wl_display_read_events(display) < 0) return fail(lostText());
            if (wl_display_dispatch_pending(display) < 0) return fail(lostText());
        }
        return true;
    }

    bool roundtrip()
    {
        bool synced = false;
        static const wl_callback_listener listener = {
            .done = [](void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; },
        };
        wl_callback* callback = wl_display_sync(display);
        wl_callback_add_listener(callback, &listener, &synced);
        const bool ok = dispatchUntil([&] { return synced; });
        wl_callback_destroy(callback);
        return ok;
    }

    int remainingMs() const
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
    }

    QString lostText() const
    {
        const int code = wl_display_get_error(display);
        return QStringLiteral("the Wayland connection broke (%1)")
            .arg(QString::fromLocal8Bit(std::strerror(code ? code : errno)));
    }
    static QString timeoutText() { return QStringLiteral("the compositor did not answer in time"); }
};

const wl_output_listener kOutputListener = {
    .geometry =
        [](void* data, wl_output*, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
           const char*, int32_t transform) {
            auto* o = static_cast<Output*>(data);
            o->position = {x, y};
            o->transform = transform;
        },
    .mode =
        [](void* data, wl_output*, uint32_t flags, int32_t width, int32_t height, int32_t) {
            if (flags & WL_OUTPUT_MODE_CURRENT) static_cast<Output*>(data)->mode = {width, height};
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                int32_t factor) { static_cast<Output*>(data)->scale = std::max(1, factor); },
    .name = [](void*, wl_output*, const char*) {},
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kXdgOutputListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, int32_t x, int32_t y) {
            static_cast<Output*>(data)->logicalPos = {x, y};
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, int32_t w, int32_t h) {
            static_cast<Output*>(data)->logicalSize = {w, h};
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void* data, zxdg_output_v1*,
               const char* name) { static_cast<Output*>(data)->name = QString::fromUtf8(name); },
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

const zwlr_screencopy_frame_v1_listener kFrameListener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
           uint32_t stride) {
            auto* o = static_cast<Output*>(data);
            o->format = format;
            o->width = static_cast<int>(width);
            o->height = static_cast<int>(height);
            o->stride = static_cast<int>(stride);
            o->buffer = true;
        },
    .flags =
        [](void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
            static_cast<Output*>(data)->yInvert =
                (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
        },
    .ready = [](void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t,
                uint32_t) { static_cast<Output*>(data)->ready = true; },
    .failed = [](void* data,
                 zwlr_screencopy_frame_v1*) { static_cast<Output*>(data)->failed = true; },
};

const wl_registry_listener kRegistryListener = {
    .global =
        [](void* data, wl_registry* registry, uint32_t name, const char* interface,
           uint32_t version) {
            auto* c = static_cast<Connection*>(data);
            const auto bind = [&](const wl_interface* iface, uint32_t highest) {
                return wl_registry_bind(registry, name, iface, std::min(version, highest));
            };
            if (std::strcmp(interface, wl_output_interface.name) == 0) {
                auto o = std::make_unique<Output>();
                // Version 3 at most: the names come from xdg-output, which has them everywhere.
                o->output = static_cast<wl_output*>(bind(&wl_output_interface, 3));
                wl_output_add_listener(o->output, &kOutputListener, o.get());
                c->outputs.push_back(std::move(o));
            } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
                c->shm = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
            } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
                c->xdgManager = static_cast<zxdg_output_manager_v1*>(
                    bind(&zxdg_output_manager_v1_interface, 3));
            } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
                c->copyManager = static_cast<zwlr_screencopy_manager_v1*>(
                    bind(&zwlr_screencopy_manager_v1_interface, 1));
            }
        },
    .global_remove = [](void*, wl_registry*, uint32_t) {},
};

bool Connect(Connection& c, int timeoutMs)
{
    c.deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    c.display = wl_display_connect(nullptr);
    if (!c.display) return c.fail(QStringLiteral("no Wayland display to connect to"));
    c.registry = wl_display_get_registry(c.display);
    wl_registry_add_listener(c.registry, &kRegistryListener, &c);
    return c.roundtrip();
}

bool CreateShmBuffer(Connection& c, Output& o)
{
    if (o.width <= 0 || o.height <= 0 || o.stride < o.width * 4)
        return c.fail(
            QStringLiteral("the compositor offered an unusable buffer for %1").arg(o.name));
    o.size = static_cast<size_t>(o.stride) * static_cast<size_t>(o.height);
    const int fd = ::memfd_create("tarvo-screen", MFD_CLOEXEC);
    if (fd < 0) return c.fail(QStringLiteral("no shared memory for the screen copy"));
    if (::ftruncate(fd, static_cast<off_t>(o.size)) != 0) {
        ::close(fd);
        return c.fail(QStringLiteral("no shared memory for the screen copy"));
    }
    o.data = ::mmap(nullptr, o.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (o.data == MAP_FAILED) {
        ::close(fd);
        return c.fail(QStringLiteral("no shared memory for the screen copy"));
    }
    wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<int32_t>(o.size));
    o.shmBuffer = wl_shm_pool_create_buffer(pool, 0, o.width, o.height, o.stride, o.format);
    wl_shm_pool_destroy(pool);
    ::close(fd);
    return true;
}

} // namespace

QImage ShmToImage(const uchar* data, int width, int height, int stride, uint32_t shmFormat,
                  bool yInvert)
{
    const QImage::Format format = ImageFormatFor(shmFormat);
    if (format == QImage::Format_Invalid) return {};
    if (!data || width <= 0 || height <= 0 || stride < width * 4) return {};
    // Wraps the compositor's memory for the moment of the conversion only; copy() detaches.
    const QImage view(data, width, height, stride, format);
    QImage image =
        format == QImage::Format_RGB32 ? view.copy() : view.convertToFormat(QImage::Format_RGB32);
    ForceOpaque(image);
    if (yInvert) image = image.mirrored(false, true);
    return image;
}

QImage ApplyOutputTransform(const QImage& buffer, int transform)
{
    // The buffer holds the output's pixels as the hardware scans them out; the transform says how
    // the compositor turned its picture to fit, so turning the buffer back gives what the user
    // sees. The flipped variants mirror horizontally first.
    QImage image = transform >= WL_OUTPUT_TRANSFORM_FLIPPED ? buffer.mirrored(true, false) : buffer;
    static constexpr int kDegrees[] = {0, 90, 180, 270};
    const int degrees = kDegrees[static_cast<unsigned>(transform) % 4];
    if (degrees == 0) return image;
    return image.transformed(QTransform().rotate(degrees));
}

std::vector<WaylandOutput> LayOutOutputs(const std::vector<OutputGeometry>& geometry, QRect* area)
{
    std::vector<WaylandOutput> placed;
    if (geometry.empty()) {
        if (area) *area = {};
        return placed;
    }
    QRect bounds;
    int scale = 1;
    for (const OutputGeometry& g : geometry) {
        bounds = bounds.united(g.logical);
        scale = std::max(scale, g.scale);
    }
    for (const OutputGeometry& g : geometry) {
        const QPoint origin = g.logical.topLeft() - bounds.topLeft();
        placed.push_back(
            {g.name, QRect(origin * scale, g.logical.size() * scale), std::max(1, g.scale)});
    }
    if (area) *area = QRect(QPoint(0, 0), bounds.size() * scale);
    return placed;
}

bool WaylandScreenCopyAvailable()
{
    Connection c;
    return Connect(c, 1000) && c.copyManager != nullptr;
}

QImage CopyWaylandScreen(QRect* area, std::vector<WaylandOutput>* outputs, QString* error,
                         int timeoutMs)
{
    Connection c;
    const auto finish = [&](QImage image) {
        if (error) *error = c.error;
        return image;
    };
    if (!Connect(c, timeoutMs)) return finish({});
    if (!c.copyManager) {
        c.fail(QStringLiteral("the compositor offers no screen copy"));
        return finish({});
    }
    if (!c.shm) {
        c.fail(QStringLiteral("the compositor offers no shared memory"));
        return finish({});
    }
    if (c.outputs.empty()) {
        c.fail(QStringLiteral("the compositor has no outputs"));
        return finish({});
    }
    int index = 0;
    for (auto& o : c.outputs) {
        o->name = QStringLiteral("output-%1").arg(++index);
        if (c.xdgManager) {
            o->xdg = zxdg_output_manager_v1_get_xdg_output(c.xdgManager, o->output);
            zxdg_output_v1_add_listener(o->xdg, &kXdgOutputListener, o.get());
        }
    }
    if (!c.roundtrip()) return finish({});

    for (auto& o : c.outputs) {
        o->frame = zwlr_screencopy_manager_v1_capture_output(c.copyManager, 0, o->output);
        zwlr_screencopy_frame_v1_add_listener(o->frame, &kFrameListener, o.get());
    }
    const auto all = [&](bool (*test)(const Output&)) {
        return std::all_of(c.outputs.begin(), c.outputs.end(),
                           [&](const auto& o) { return test(*o); });
    };
    if (!c.dispatchUntil([&] { return all([](const Output& o) { return o.buffer || o.failed; }); }))
        return finish({});
    for (auto& o : c.outputs) {
        if (o->failed) {
            c.fail(QStringLiteral("the compositor refused to copy %1").arg(o->name));
            return finish({});
        }
        if (ImageFormatFor(o->format) == QImage::Format_Invalid) {
            c.fail(QStringLiteral("%1 offers pixel format 0x%2, which Tarvo cannot read")
                       .arg(o->name)
                       .arg(o->format, 8, 16, QLatin1Char('0')));
            return finish({});
        }
        if (!CreateShmBuffer(c, *o)) return finish({});
        zwlr_screencopy_frame_v1_copy(o->frame, o->shmBuffer);
    }
    if (!c.dispatchUntil([&] { return all([](const Output& o) { return o.done(); }); }))
        return finish({});

    std::vector<OutputGeometry> geometry;
    std::vector<QImage> pictures;
    for (auto& o : c.outputs) {
        if (o->failed) {
            c.fail(QStringLiteral("the compositor failed to copy %1").arg(o->name));
            return finish({});
        }
        QImage picture =
            ApplyOutputTransform(ShmToImage(static_cast<const uchar*>(o->data), o->width, o->height,
                                            o->stride, o->format, o->yInvert),
                                 o->transform);
        QRect logical(o->logicalPos, o->logicalSize);
        if (!o->xdg || o->logicalSize.isEmpty())
            logical = QRect(o->position, picture.size() / o->scale);
        geometry.push_back({o->name, logical, o->scale});
        pictures.push_back(std::move(picture));
    }
    QRect bounds;
    std::vector<WaylandOutput> placed = LayOutOutputs(geometry, &bounds);
    QImage screen(bounds.size(), QImage::Format_RGB32);
    screen.fill(Qt::black);
    {
        QPainter painter(&screen);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        for (size_t i = 0; i < placed.size(); ++i) {
            // Same size is a plain copy; an output of a smaller scale is enlarged without
            // smoothing, as its pixels are on the screen.
            if (pictures[i].size() == placed[i].rect.size())
                painter.drawImage(placed[i].rect.topLeft(), pictures[i]);
            else
                painter.drawImage(placed[i].rect, pictures[i]);
        }
    }
    if (area) *area = bounds;
    if (outputs) *outputs = std::move(placed);
    return finish(std::move(screen));
}

} // namespace tarvo::platform::wayland
