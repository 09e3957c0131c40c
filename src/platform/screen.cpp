#include "platform/screen.h"

#include "platform/x11/xcb_pixels.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QWindow>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

namespace tarvo::platform {

namespace {

template <class T> using XcbReply = std::unique_ptr<T, decltype(&std::free)>;

template <class T> XcbReply<T> own(T* p)
{
    return XcbReply<T>(p, &std::free);
}

// Plain GetImage replies are kept to this size, so a 4K screen never needs one huge reply.
constexpr std::size_t kStripBytes = 4u << 20;

// How the root window's pixels are laid out in a ZPixmap image.
struct RootLayout
{
    xcb_window_t root = 0;
    int width = 0;
    int height = 0;
    int bitsPerPixel = 0;
    int stride = 0; // bytes per scanline of the whole root
    int scanlinePad = 0;
    bool msbFirst = false;
    bool rgb565 = false;
};

int rowStride(const RootLayout& l, int width);

std::optional<RootLayout> describeRoot(xcb_connection_t* c, int screenNumber)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (!setup) return std::nullopt;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem) return std::nullopt;
    const xcb_screen_t* screen = it.data;

    RootLayout l;
    l.root = screen->root;
    l.width = screen->width_in_pixels;
    l.height = screen->height_in_pixels;
    l.msbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_MSB_FIRST;

    int pad = 0;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == screen->root_depth) {
            l.bitsPerPixel = f.data->bits_per_pixel;
            pad = f.data->scanline_pad;
        }
    }
    const xcb_visualtype_t* visual = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual;
         xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual) {
                visual = v.data;
                break;
            }
        }
    }
    if (!visual || pad <= 0 || l.width <= 0 || l.height <= 0) return std::nullopt;
    if (l.bitsPerPixel == 32 && visual->red_mask == 0xFF0000u && visual->green_mask == 0xFF00u &&
        visual->blue_mask == 0xFFu) {
        // the common case: RGB32 as QImage stores it
    } else if (l.bitsPerPixel == 16 && visual->red_mask == 0xF800u &&
               visual->green_mask == 0x07E0u && visual->blue_mask == 0x001Fu) {
        l.rgb565 = true;
    } else {
        return std::nullopt; // a layout no current X server offers by default
    }
    l.scanlinePad = pad;
    l.stride = rowStride(l, l.width);
    return l;
}

// Bytes per scanline of a ZPixmap image `width` pixels wide.
int rowStride(const RootLayout& l, int width)
{
    const int padBytes = l.scanlinePad / 8;
    return (width * l.bitsPerPixel / 8 + padBytes - 1) / padBytes * padBytes;
}

// Copies rows of ZPixmap data (`stride` bytes apart) into the image, starting at row y. The
// padding byte the server leaves in 32-bit pixels is not alpha: RGB32 wants it at 0xFF.
void copyRows(const RootLayout& l, const std::uint8_t* data, int stride, int y, int rows,
              QImage& out)
{
    const int width = out.width();
    for (int r = 0; r < rows; ++r) {
        const std::uint8_t* src = data + std::size_t(r) * std::size_t(stride);
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(y + r));
        if (l.rgb565) {
            for (int x = 0; x < width; ++x) {
                std::uint16_t p;
                std::memcpy(&p, src + std::ptrdiff_t{2} * x, 2);
                p = l.msbFirst ? qFromBigEndian(p) : qFromLittleEndian(p);
                const int rr = (p >> 11) & 0x1F, gg = (p >> 5) & 0x3F, bb = p & 0x1F;
                dst[x] = qRgb((rr << 3) | (rr >> 2), (gg << 2) | (gg >> 4), (bb << 3) | (bb >> 2));
            }
        } else if (l.msbFirst == (Q_BYTE_ORDER == Q_BIG_ENDIAN)) {
            // The common case: the server's byte order is ours; only the padding byte changes.
            std::memcpy(dst, src, std::size_t(width) * 4);
            for (int x = 0; x < width; ++x)
                dst[x] |= 0xFF000000u;
        } else {
            for (int x = 0; x < width; ++x) {
                std::uint32_t p;
                std::memcpy(&p, src + std::ptrdiff_t{4} * x, 4);
                dst[x] = qbswap(p) | 0xFF000000u;
            }
        }
    }
}

// A System V segment that the server attaches to; everything is undone on every path.
class SharedSegment
{
public:
    explicit SharedSegment(xcb_connection_t* c) : c_(c) {}
    ~SharedSegment()
    {
        if (attached_) {
            xcb_shm_detach(c_, seg_);
            // A round trip: the server has let go of the segment before this returns, so the
            // memory (already marked for removal) goes at once.
            std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        }
        if (addr_) shmdt(addr_);
        if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
    }
    // The memory stays mapped for the caller, who detaches it with shmdt; the server lets go
    // of it as usual when this ends.
    std::uint8_t* takeMemory()
    {
        auto* a = static_cast<std::uint8_t*>(addr_);
        addr_ = nullptr;
        return a;
    }
    SharedSegment(const SharedSegment&) = delete;
    SharedSegment& operator=(const SharedSegment&) = delete;

    bool create(std::size_t size)
    {
        id_ = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id_ < 0) return false;
        void* a = shmat(id_, nullptr, 0);
        // shmat's failure value, (void*)-1.
        if (a == reinterpret_cast<void*>(-1)) return false; // NOLINT(performance-no-int-to-ptr)
        addr_ = a;
        seg_ = xcb_generate_id(c_);
        // Checked: a server on another machine cannot attach, and then the plain way is used.
        xcb_generic_error_t* err =
            xcb_request_check(c_, xcb_shm_attach_checked(c_, seg_, std::uint32_t(id_), 0));
        // Both sides hold it now (or never will): the name can go, so no crash can leak it.
        shmctl(id_, IPC_RMID, nullptr);
        id_ = -1;
        if (err) {
            std::free(err);
            return false;
        }
        attached_ = true;
        return true;
    }
    xcb_shm_seg_t seg() const { return seg_; }
    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(addr_); }

private:
    xcb_connection_t* c_;
    int id_ = -1;
    void* addr_ = nullptr;
    xcb_shm_seg_t seg_ = 0;
    bool attached_ = false;
};

bool serverHasShm(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) return false;
    auto version = own(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    return version != nullptr;
}

// The padding byte the server leaves in 32-bit pixels is not alpha: RGB32 wants it at 0xFF.
void setOpaque(std::uint8_t* bits, int width, int height, int stride)
{
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(bits + std::size_t(y) * std::size_t(stride));
        for (int x = 0; x < width; ++x)
            row[x] |= 0xFF000000u;
    }
}

// Shared memory passed as a file descriptor came with version 1.2.
bool serverTakesShmFd(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) return false;
    auto version = own(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
    return version && (version->major_version > 1 ||
                       (version->major_version == 1 && version->minor_version >= 2));
}

// Fetches r of the drawable into an attached segment as ZPixmap; whether all `size` bytes came.
bool shmGetImage(xcb_connection_t* c, xcb_drawable_t drawable, const QRect& r, xcb_shm_seg_t seg,
                 std::size_t size)
{
    xcb_generic_error_t* err = nullptr;
    auto reply = own(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, drawable, std::int16_t(r.x()), std::int16_t(r.y()),
                          std::uint16_t(r.width()), std::uint16_t(r.height()), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0),
        &err));
    std::free(err);
    return reply && reply->size >= size;
}

QImage grabShared(xcb_connection_t* c, const RootLayout& l, xcb_drawable_t drawable, const QRect& r)
{
    if (!serverHasShm(c)) return {};
    const int stride = rowStride(l, r.width());
    const std::size_t size = std::size_t(stride) * std::size_t(r.height());
    SharedSegment segment(c);
    if (!segment.create(size) || !shmGetImage(c, drawable, r, segment.seg(), size)) return {};
    if (!l.rgb565 && l.msbFirst == (Q_BYTE_ORDER == Q_BIG_ENDIAN)) {
        // The server's pixels are already laid out as the image wants them: the image is made
        // over the segment itself, which it detaches when it goes; no copy.
        std::uint8_t* bits = segment.takeMemory();
        QImage out(
            bits, r.width(), r.height(), stride, QImage::Format_RGB32, [](void* p) { shmdt(p); },
            bits);
        if (out.isNull()) {
            shmdt(bits);
            return {};
        }
        setOpaque(bits, r.width(), r.height(), stride);
        return out;
    }
    QImage out(r.width(), r.height(), QImage::Format_RGB32);
    if (out.isNull()) return {};
    copyRows(l, segment.data(), stride, 0, r.height(), out);
    return out;
}

QImage grabPlain(xcb_connection_t* c, const RootLayout& l, xcb_drawable_t drawable, const QRect& r)
{
    QImage out(r.width(), r.height(), QImage::Format_RGB32);
    if (out.isNull()) return {};
    const int stride = rowStride(l, r.width());
    const int stripRows = int(std::max<std::size_t>(1, kStripBytes / std::size_t(stride)));
    for (int y = 0; y < r.height(); y += stripRows) {
        const int rows = std::min(stripRows, r.height() - y);
        xcb_generic_error_t* err = nullptr;
        auto reply = own(
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                                              std::int16_t(r.x()), std::int16_t(r.y() + y),
                                              std::uint16_t(r.width()), std::uint16_t(rows), ~0u),
                                &err));
        if (err) std::free(err);
        if (!reply) return {};
        const int length = xcb_get_image_data_length(reply.get());
        if (length < 0 || std::size_t(length) < std::size_t(stride) * std::size_t(rows)) return {};
        copyRows(l, xcb_get_image_data(reply.get()), stride, y, rows, out);
    }
    return out;
}

QImage grabRect(xcb_connection_t* c, const RootLayout& l, xcb_drawable_t drawable, const QRect& r,
                ScreenGrabMethod method)
{
    QImage image;
    if (method != ScreenGrabMethod::Plain) image = grabShared(c, l, drawable, r);
    if (image.isNull() && method != ScreenGrabMethod::SharedMemory)
        image = grabPlain(c, l, drawable, r);
    return image;
}

QImage grab(xcb_connection_t* c, int screenNumber, QRect* area, ScreenGrabMethod method)
{
    if (!c || xcb_connection_has_error(c)) return {};
    const auto layout = describeRoot(c, screenNumber);
    if (!layout) return {};
    const QRect whole(0, 0, layout->width, layout->height);
    QImage image = grabRect(c, *layout, layout->root, whole, method);
    if (!image.isNull() && area) *area = whole;
    return image;
}

int screenOfDisplay(const char* name)
{
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(name, &host, &display, &screen)) std::free(host);
    return screen;
}

} // namespace

xcb_connection_t* x11::ApplicationConnection()
{
    // The unit tests run a plain QCoreApplication: no GUI, no display.
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app) return nullptr;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

int x11::ApplicationScreen()
{
    const QByteArray name = qgetenv("DISPLAY");
    return screenOfDisplay(name.isEmpty() ? nullptr : name.constData());
}

QImage x11::CopyDrawablePixels(xcb_connection_t* c, std::uint32_t drawable, const QRect& r,
                               ScreenGrabMethod method)
{
    if (!c || xcb_connection_has_error(c) || r.isEmpty()) return {};
    const auto layout = describeRoot(c, ApplicationScreen());
    if (!layout) return {};
    return grabRect(c, *layout, drawable, r, method);
}

struct x11::PreparedCopy::State
{
    RootLayout layout; // as checked when the preparation started
    std::mutex lock;
    bool ready = false;     // the memory is in place and nobody took it yet
    bool abandoned = false; // nobody will take it: whoever holds it lets it go
    int fd = -1;
    std::uint8_t* memory = nullptr;
    std::size_t length = 0;
};

namespace {

// Background work yields to everything else, the user-interface thread above all.
void lowestPriority()
{
    setpriority(PRIO_PROCESS, id_t(gettid()), 19);
}

void release(int fd, void* memory, std::size_t length)
{
    if (memory) munmap(memory, length);
    if (fd >= 0) close(fd);
}

struct Mapping
{
    void* memory;
    std::size_t length;
};

} // namespace

x11::PreparedCopy::PreparedCopy(xcb_connection_t* c, int screen)
    : c_(c), state_(std::make_shared<State>())
{
    const auto layout = c && !xcb_connection_has_error(c) ? describeRoot(c, screen) : std::nullopt;
    // Only where the server's pixels are already the image's; elsewhere the copy converts.
    if (!layout || layout->rgb565 || layout->msbFirst != (Q_BYTE_ORDER == Q_BIG_ENDIAN)) return;
    // The memory goes to the server as a file descriptor: over a local socket only, since a
    // failed descriptor transfer would end the connection.
    sockaddr_storage address{};
    socklen_t addressLength = sizeof address;
    if (getsockname(xcb_get_file_descriptor(c), reinterpret_cast<sockaddr*>(&address),
                    &addressLength) != 0 ||
        address.ss_family != AF_UNIX || !serverTakesShmFd(c))
        return;
    state_->layout = *layout;
    const std::size_t length = std::size_t(layout->stride) * std::size_t(layout->height);
    try {
        std::thread([state = state_, length] {
            lowestPriority();
            const int fd = memfd_create("tarvo-screen", MFD_CLOEXEC);
            void* memory = MAP_FAILED;
            if (fd >= 0 && ftruncate(fd, off_t(length)) == 0)
                memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (memory == MAP_FAILED) {
                release(fd, nullptr, 0);
                return;
            }
            // The pages are made now, not while the server copies into them.
            if (madvise(memory, length, MADV_POPULATE_WRITE) != 0)
                for (std::size_t at = 0; at < length; at += 4096)
                    static_cast<volatile std::uint8_t*>(memory)[at] = 0;
            const std::lock_guard hold(state->lock);
            if (state->abandoned) {
                release(fd, memory, length);
                return;
            }
            state->fd = fd;
            state->memory = static_cast<std::uint8_t*>(memory);
            state->length = length;
            state->ready = true;
        }).detach();
    } catch (const std::system_error&) {
        // No thread: every fetch takes the usual way.
    }
}

x11::PreparedCopy::~PreparedCopy()
{
    const std::lock_guard hold(state_->lock);
    state_->abandoned = true;
    if (state_->ready) release(state_->fd, state_->memory, state_->length);
    state_->ready = false;
}

QImage x11::PreparedCopy::Take(std::uint32_t drawable, const QRect& r)
{
    int fd = -1;
    std::uint8_t* memory = nullptr;
    std::size_t length = 0;
    {
        const std::lock_guard hold(state_->lock);
        if (!state_->ready) return {};
        state_->ready = false;
        state_->abandoned = true;
        fd = state_->fd;
        memory = state_->memory;
        length = state_->length;
    }
    const int stride = rowStride(state_->layout, r.width());
    const std::size_t size = std::size_t(stride) * std::size_t(std::max(r.height(), 0));
    const int serverFd = fd >= 0 ? fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (r.isEmpty() || size == 0 || size > length || serverFd < 0 || xcb_connection_has_error(c_)) {
        if (serverFd >= 0) close(serverFd);
        release(fd, memory, length);
        return {};
    }
    const xcb_shm_seg_t seg = xcb_generate_id(c_);
    xcb_shm_attach_fd(c_, seg, serverFd, 0); // the connection closes serverFd once sent
    const bool fetched = shmGetImage(c_, drawable, r, seg, size);
    xcb_shm_detach(c_, seg);
    xcb_flush(c_);
    if (!fetched) {
        release(fd, memory, length);
        return {};
    }
    // The image keeps its own pages only; the rest goes back on a thread of its own, since
    // freeing tens of megabytes takes a while.
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t keep = std::min(length, (size + page - 1) / page * page);
    try {
        std::thread([fd, rest = memory + keep, restLength = length - keep, keep] {
            lowestPriority();
            if (restLength) munmap(rest, restLength);
            if (ftruncate(fd, off_t(keep)) != 0) {
                // The pages stay until the image goes; nothing is lost.
            }
            close(fd);
        }).detach();
    } catch (const std::system_error&) {
        release(fd, memory + keep, length - keep);
    }
    auto* mapping = new Mapping{memory, keep};
    QImage out(
        memory, r.width(), r.height(), stride, QImage::Format_RGB32,
        [](void* m) {
            const auto* owned = static_cast<Mapping*>(m);
            munmap(owned->memory, owned->length);
            delete owned;
        },
        mapping);
    if (out.isNull()) {
        munmap(memory, keep);
        delete mapping;
        return {};
    }
    setOpaque(memory, r.width(), r.height(), stride);
    return out;
}

QImage GrabRootWindow(QRect* area, ScreenGrabMethod method)
{
    xcb_connection_t* c = x11::ApplicationConnection();
    if (!c) return {};
    const QByteArray name = qgetenv("DISPLAY");
    return grab(c, screenOfDisplay(name.isEmpty() ? nullptr : name.constData()), area, method);
}

QImage GrabRootWindowOfDisplay(const QByteArray& displayName, QRect* area, ScreenGrabMethod method)
{
    int screen = 0;
    xcb_connection_t* c =
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screen);
    QImage image = grab(c, screen, area, method);
    if (c) xcb_disconnect(c);
    return image;
}

KeyboardHold::KeyboardHold()
{
    xcb_connection_t* c = x11::ApplicationConnection();
    if (!c || xcb_connection_has_error(c)) return;
    const auto layout = describeRoot(c, screenOfDisplay(nullptr));
    if (!layout) return;
    // Synchronous keyboard mode: the server queues key events until this program grabs again
    // asynchronously (the overlay does) or lets go.
    auto reply =
        own(xcb_grab_keyboard_reply(c,
                                    xcb_grab_keyboard(c, 0, layout->root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_SYNC),
                                    nullptr));
    held_ = reply && reply->status == XCB_GRAB_STATUS_SUCCESS;
}

KeyboardHold::~KeyboardHold()
{
    if (!held_) return;
    xcb_connection_t* c = x11::ApplicationConnection();
    if (!c) return;
    // Still frozen only if nobody took the keyboard over; an ungrab that finds the overlay's
    // grab already gone is harmless, and keys still queued are delivered normally.
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    xcb_flush(c);
}

void EnsureInputGrabs(QWindow* window, const std::function<bool()>& cancelled)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    const QDeadlineTimer grabbed(1000);
    const auto retry = [&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return !grabbed.hasExpired() && !cancelled();
    };
    while (!window->setKeyboardGrabEnabled(true) && retry()) {
    }
    while (!window->setMouseGrabEnabled(true) && retry()) {
    }
}

class PointerPositionLog::Filter : public QAbstractNativeEventFilter
{
public:
    explicit Filter(xcb_connection_t* c)
    {
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
        if (ext && ext->present) xinputOpcode_ = ext->major_opcode;
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        switch (event->response_type & 0x7F) {
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_MOTION_NOTIFY: {
            // The three core events share the layout up to the root position.
            const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event);
            record(QPoint(e->root_x, e->root_y));
            break;
        }
        case XCB_GE_GENERIC: {
            const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
            if (xinputOpcode_ < 0 || ge->extension != xinputOpcode_) break;
            if (ge->event_type != XCB_INPUT_BUTTON_PRESS &&
                ge->event_type != XCB_INPUT_BUTTON_RELEASE && ge->event_type != XCB_INPUT_MOTION)
                break;
            const auto* e = reinterpret_cast<const xcb_input_button_press_event_t*>(event);
            // 16.16 fixed point; the pixel is the one that contains the position.
            record(
                QPoint(int(std::floor(e->root_x / 65536.0)), int(std::floor(e->root_y / 65536.0))));
            break;
        }
        default:
            break;
        }
        return false; // only watching
    }

    std::deque<QPoint> positions;

private:
    void record(QPoint p)
    {
        positions.push_back(p);
        if (positions.size() > 256) positions.pop_front();
    }
    int xinputOpcode_ = -1;
};

PointerPositionLog::PointerPositionLog()
{
    if (xcb_connection_t* c = x11::ApplicationConnection()) {
        filter_ = std::make_unique<Filter>(c);
        QCoreApplication::instance()->installNativeEventFilter(filter_.get());
    }
}

PointerPositionLog::~PointerPositionLog()
{
    if (filter_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(filter_.get());
}

std::optional<QPoint> PointerPositionLog::Take(QPointF approx, qreal tolerance)
{
    if (!filter_) return std::nullopt;
    auto& q = filter_->positions;
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (std::abs(it->x() - approx.x()) <= tolerance &&
            std::abs(it->y() - approx.y()) <= tolerance) {
            const QPoint found = *it;
            q.erase(q.begin(), it + 1);
            return found;
        }
    }
    return std::nullopt;
}

} // namespace tarvo::platform
