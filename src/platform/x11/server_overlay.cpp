#include "platform/x11/server_overlay.h"

#include "platform/x11/xcb_pixels.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QRegion>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>
#include <xcb/render.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace tarvo::platform::x11 {

namespace {

template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T> Reply<T> own(T* p)
{
    return Reply<T>(p, &std::free);
}

constexpr xcb_keysym_t kEscape = 0xff1b;

// RENDER colours are premultiplied and 16 bits a channel; the 8-bit values match what the
// image-backed overlay's painter blends with.
xcb_render_color_t renderColor(std::uint32_t argb)
{
    const std::uint32_t a = argb >> 24;
    const auto premultiply = [a](std::uint32_t c) {
        const std::uint32_t t = c * a + 0x80u;
        return std::uint16_t(((t + (t >> 8)) >> 8) * 0x101u);
    };
    return {premultiply((argb >> 16) & 0xFF), premultiply((argb >> 8) & 0xFF),
            premultiply(argb & 0xFF), std::uint16_t(a * 0x101u)};
}

xcb_rectangle_t toXcb(const QRect& r)
{
    return {std::int16_t(r.x()), std::int16_t(r.y()), std::uint16_t(r.width()),
            std::uint16_t(r.height())};
}

// The pixels a selection paints: its fill and its outline, one pixel wider and taller.
QRect outer(const QRect& fill)
{
    return QRect(fill.x(), fill.y(), fill.width() + 1, fill.height() + 1);
}

// The fill's pixels that the outline does not touch.
QRect inner(const QRect& fill)
{
    return QRect(fill.x() + 1, fill.y() + 1, fill.width() - 1, fill.height() - 1);
}

// The outline's four sides, never overlapping (a pixel blended twice would look darker).
std::vector<QRect> outlineSides(const QRect& fill)
{
    const int x = fill.x(), y = fill.y(), w = fill.width(), h = fill.height();
    std::vector<QRect> sides{QRect(x, y, w + 1, 1)};
    if (h > 0) sides.emplace_back(x, y + h, w + 1, 1);
    if (h > 1) {
        sides.emplace_back(x, y + 1, 1, h - 1);
        if (w > 0) sides.emplace_back(x + w, y + 1, 1, h - 1);
    }
    return sides;
}

// The root window copied into a pixmap of the server; the pixmap goes when this does.
class PixmapScreen : public FrozenScreen
{
public:
    PixmapScreen(xcb_connection_t* c, xcb_pixmap_t pixmap, const QRect& area)
        : c_(c), pixmap_(pixmap), area_(area)
    {
    }
    ~PixmapScreen() override
    {
        xcb_free_pixmap(c_, pixmap_);
        xcb_flush(c_);
    }

    QRect Area() const override { return area_; }
    QImage Pixels(const QRect& r) const override
    {
        if (!InsidePicture(r, area_.width(), area_.height())) return {};
        if (prepared_) {
            QImage image = std::exchange(prepared_, nullptr)->Take(pixmap_, r);
            if (!image.isNull()) return image;
        }
        return CopyDrawablePixels(c_, pixmap_, r);
    }
    xcb_pixmap_t pixmap() const { return pixmap_; }
    // Memory for the selection's pixels, made ready while the user chooses them.
    void prepareCopy() const
    {
        if (!prepared_) prepared_ = std::make_unique<PreparedCopy>(c_, ApplicationScreen());
    }

private:
    xcb_connection_t* c_;
    xcb_pixmap_t pixmap_;
    QRect area_;
    mutable std::unique_ptr<PreparedCopy> prepared_;
};

class XcbOverlay : public ServerOverlay, public QAbstractNativeEventFilter
{
public:
    XcbOverlay(xcb_connection_t* c, const xcb_screen_t* screen, xcb_render_pictformat_t format,
               xcb_render_pictformat_t argb)
        : c_(c), root_(screen->root), depth_(screen->root_depth), visual_(screen->root_visual),
          format_(format), argb_(argb), keySymbols_(xcb_key_symbols_alloc(c))
    {
    }

    ~XcbOverlay() override
    {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
        if (keySymbols_) xcb_key_symbols_free(keySymbols_);
    }

    bool create(const QImage& cursorImage, QPoint hotSpot)
    {
        gc_ = xcb_generate_id(c_);
        const std::uint32_t gcValues[] = {XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS, 0};
        xcb_create_gc(c_, gc_, root_, XCB_GC_SUBWINDOW_MODE | XCB_GC_GRAPHICS_EXPOSURES, gcValues);
        cursor_ = makeCursor(cursorImage, hotSpot);

        auto geometry = own(xcb_get_geometry_reply(c_, xcb_get_geometry(c_, root_), nullptr));
        if (!geometry) return false;
        size_ = QSize(geometry->width, geometry->height);
        window_ = xcb_generate_id(c_);
        const std::uint32_t values[] = {XCB_BACK_PIXMAP_NONE, 1,
                                        XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
                                            XCB_EVENT_MASK_BUTTON_RELEASE |
                                            XCB_EVENT_MASK_POINTER_MOTION |
                                            XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_FOCUS_CHANGE,
                                        cursor_};
        xcb_generic_error_t* err = xcb_request_check(
            c_,
            xcb_create_window_checked(
                c_, depth_, window_, root_, 0, 0, std::uint16_t(size_.width()),
                std::uint16_t(size_.height()), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, visual_,
                XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK | XCB_CW_CURSOR,
                values));
        if (err) {
            std::free(err);
            return false;
        }
        // Found by its class like the program's other windows.
        static const char wmClass[] = "tarvo\0Tarvo";
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                            8, sizeof wmClass, wmClass);
        static const char title[] = "Tarvo";
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING,
                            8, sizeof title - 1, title);
        picture_ = xcb_generate_id(c_);
        xcb_render_create_picture(c_, picture_, window_, format_, 0, nullptr);
        const QByteArray cmName = "_NET_WM_CM_S" + QByteArray::number(ApplicationScreen());
        if (auto atom = own(xcb_intern_atom_reply(
                c_, xcb_intern_atom(c_, 0, std::uint16_t(cmName.size()), cmName.constData()),
                nullptr)))
            compositorAtom_ = atom->atom;
        QCoreApplication::instance()->installNativeEventFilter(this);
        xcb_flush(c_);
        return true;
    }

    std::unique_ptr<FrozenScreen> Freeze() override
    {
        // The root can change size (a monitor plugged in), and a compositing manager can come
        // and go: both asked each time, in one round trip.
        const auto geometryCookie = xcb_get_geometry(c_, root_);
        const auto compositorCookie = xcb_get_selection_owner(c_, compositorAtom_);
        auto geometry = own(xcb_get_geometry_reply(c_, geometryCookie, nullptr));
        auto compositor = own(xcb_get_selection_owner_reply(c_, compositorCookie, nullptr));
        if (!geometry) return nullptr;
        const QRect area(0, 0, geometry->width, geometry->height);
        // Without a compositor nothing below an override-redirect window can draw, and a
        // window without a background leaves the screen as it is: mapped first, it freezes
        // the screen at once, and the copy below takes the same pixels from under it. A
        // compositor would show such a window's undefined contents, so there the copy comes
        // first and the window shows it when mapped.
        if (compositorAtom_ && compositor && compositor->owner == XCB_NONE) {
            resize(area.size());
            map();
        }
        const xcb_pixmap_t pixmap = xcb_generate_id(c_);
        xcb_generic_error_t* err = xcb_request_check(
            c_, xcb_create_pixmap_checked(c_, depth_, pixmap, root_, std::uint16_t(area.width()),
                                          std::uint16_t(area.height())));
        if (err) {
            std::free(err);
            Hide();
            return nullptr;
        }
        xcb_copy_area(c_, root_, pixmap, gc_, 0, 0, 0, 0, std::uint16_t(area.width()),
                      std::uint16_t(area.height()));
        return std::make_unique<PixmapScreen>(c_, pixmap, area);
    }

    bool Show(const FrozenScreen& frozen, Handlers handlers,
              const std::function<bool()>& cancelled) override
    {
        const auto* screen = dynamic_cast<const PixmapScreen*>(&frozen);
        if (!screen) {
            Hide();
            return false;
        }
        handlers_ = std::move(handlers);
        selection_.reset();
        // Exposures and the frame from here on come from the frozen picture; a window that
        // Freeze mapped already shows the same pixels, so setting it repaints nothing.
        const std::uint32_t background[] = {screen->pixmap()};
        xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXMAP, background);
        if (!mapped_) {
            resize(screen->Area().size());
            map();
        }
        // Grabbed at once: an Escape pressed right after the capture key must reach the overlay.
        const QDeadlineTimer deadline(1000);
        // A grab that never takes leaves the window up without it, as a toolkit window would be.
        while (!grab() && !deadline.hasExpired()) {
            if (cancelled && cancelled()) {
                Hide();
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_PARENT, window_, XCB_CURRENT_TIME);
        xcb_flush(c_);
        screen->prepareCopy();
        return true;
    }

    void SetSelection(const QRect& fill) override
    {
        const std::optional<QRect> next =
            fill.width() >= 0 && fill.height() >= 0 ? std::optional(fill) : std::nullopt;
        if (next == selection_) return;
        const QRect none(0, 0, -1, -1);
        const QList<QRect> changed =
            ChangedSelectionPixels(selection_.value_or(none), next.value_or(none));
        selection_ = next;
        if (!mapped_ || changed.isEmpty()) return;
        for (const QRect& r : changed)
            xcb_clear_area(c_, 0, window_, std::int16_t(r.x()), std::int16_t(r.y()),
                           std::uint16_t(r.width()), std::uint16_t(r.height()));
        drawFrame(changed);
        xcb_flush(c_);
    }

    void ReleaseInput() override
    {
        if (!mapped_) return;
        handlers_ = {};
        xcb_ungrab_pointer(c_, XCB_CURRENT_TIME);
        xcb_ungrab_keyboard(c_, XCB_CURRENT_TIME);
        xcb_flush(c_);
    }

    void Hide() override
    {
        if (!mapped_) return;
        ReleaseInput();
        mapped_ = false;
        xcb_unmap_window(c_, window_);
        // The window lets go of the frozen picture, so the server can free it.
        const std::uint32_t none[] = {XCB_BACK_PIXMAP_NONE};
        xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXMAP, none);
        xcb_flush(c_);
        handlers_ = {};
        selection_.reset();
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        switch (event->response_type & 0x7F) {
        case XCB_MAPPING_NOTIFY:
            if (keySymbols_)
                xcb_refresh_keyboard_mapping(keySymbols_,
                                             reinterpret_cast<xcb_mapping_notify_event_t*>(
                                                 const_cast<xcb_generic_event_t*>(event)));
            return false;
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE:
        case XCB_MOTION_NOTIFY: {
            // The three share the layout up to the positions.
            const auto* e = reinterpret_cast<const xcb_button_press_event_t*>(event);
            if (e->event != window_) return false;
            if (stale(event)) return true;
            const QPoint p(e->root_x, e->root_y);
            const int kind = event->response_type & 0x7F;
            if (kind == XCB_MOTION_NOTIFY) {
                if (handlers_.move) handlers_.move(p);
            } else if (e->detail == XCB_BUTTON_INDEX_1) {
                const auto& h = kind == XCB_BUTTON_PRESS ? handlers_.press : handlers_.release;
                if (h) h(p);
            }
            return true;
        }
        case XCB_KEY_PRESS: {
            const auto* e = reinterpret_cast<const xcb_key_press_event_t*>(event);
            if (e->event != window_) return false;
            if (!stale(event) && isEscape(e->detail) && handlers_.cancel) handlers_.cancel();
            return true;
        }
        case XCB_KEY_RELEASE: {
            const auto* e = reinterpret_cast<const xcb_key_release_event_t*>(event);
            return e->event == window_;
        }
        case XCB_EXPOSE: {
            const auto* e = reinterpret_cast<const xcb_expose_event_t*>(event);
            if (e->window != window_) return false;
            // The server has painted the frozen screen there already; only the frame is ours.
            if (mapped_ && selection_)
                drawFrame({QRect(e->x, e->y, e->width, e->height) & outer(*selection_)});
            xcb_flush(c_);
            return true;
        }
        case XCB_FOCUS_IN:
        case XCB_FOCUS_OUT: {
            const auto* e = reinterpret_cast<const xcb_focus_in_event_t*>(event);
            if (e->event != window_) return false;
            if (stale(event)) return true;
            if ((event->response_type & 0x7F) == XCB_FOCUS_IN) {
                focused_ = true;
            } else if (focused_ && mapped_ && e->mode != XCB_NOTIFY_MODE_GRAB &&
                       e->mode != XCB_NOTIFY_MODE_UNGRAB &&
                       e->detail != XCB_NOTIFY_DETAIL_INFERIOR &&
                       e->detail != XCB_NOTIFY_DETAIL_POINTER) {
                // Another window took over: the frozen picture would lie about the screen.
                if (handlers_.cancel) handlers_.cancel();
            }
            return true;
        }
        default:
            return false;
        }
    }

private:
    void resize(QSize size)
    {
        if (size == size_) return;
        size_ = size;
        const std::uint32_t geometry[] = {0, 0, std::uint32_t(size_.width()),
                                          std::uint32_t(size_.height())};
        xcb_configure_window(c_, window_,
                             XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                                 XCB_CONFIG_WINDOW_HEIGHT,
                             geometry);
    }

    void map()
    {
        focused_ = false;
        const std::uint32_t above[] = {XCB_STACK_MODE_ABOVE};
        xcb_configure_window(c_, window_, XCB_CONFIG_WINDOW_STACK_MODE, above);
        shown_ = xcb_map_window(c_, window_).sequence;
        mapped_ = true;
        xcb_flush(c_);
    }

    // Input and focus events the server sent before this showing's map belong to an earlier
    // one: a focus lost then must not cancel this capture.
    bool stale(const xcb_generic_event_t* event) const
    {
        return std::int32_t(event->full_sequence - shown_) < 0;
    }

    bool grab()
    {
        const auto pointer = xcb_grab_pointer(
            c_, 0, window_,
            XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                XCB_EVENT_MASK_POINTER_MOTION,
            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC, XCB_NONE, cursor_, XCB_CURRENT_TIME);
        const auto keyboard = xcb_grab_keyboard(c_, 0, window_, XCB_CURRENT_TIME,
                                                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        auto p = own(xcb_grab_pointer_reply(c_, pointer, nullptr));
        auto k = own(xcb_grab_keyboard_reply(c_, keyboard, nullptr));
        return p && p->status == XCB_GRAB_STATUS_SUCCESS && k &&
               k->status == XCB_GRAB_STATUS_SUCCESS;
    }

    bool isEscape(xcb_keycode_t code) const
    {
        if (!keySymbols_) return code == 9; // the usual code of Escape
        for (int col = 0; col < 2; ++col)
            if (xcb_key_symbols_get_keysym(keySymbols_, code, col) == kEscape) return true;
        return false;
    }

    // Blends the selection's fill and outline over what the window shows, inside `clip`.
    void drawFrame(const QList<QRect>& clip)
    {
        if (!selection_) return;
        std::vector<xcb_rectangle_t> rects;
        rects.reserve(std::size_t(clip.size()));
        for (const QRect& r : clip)
            if (!r.isEmpty()) rects.push_back(toXcb(r));
        if (rects.empty()) return;
        xcb_render_set_picture_clip_rectangles(c_, picture_, 0, 0, std::uint32_t(rects.size()),
                                               rects.data());
        const QRect& s = *selection_;
        if (s.width() > 0 && s.height() > 0) {
            const xcb_rectangle_t fill = toXcb(s);
            xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_OVER, picture_, renderColor(kFill), 1,
                                       &fill);
        }
        std::vector<xcb_rectangle_t> sides;
        for (const QRect& r : outlineSides(s))
            sides.push_back(toXcb(r));
        xcb_render_fill_rectangles(c_, XCB_RENDER_PICT_OP_OVER, picture_, renderColor(kOutline),
                                   std::uint32_t(sides.size()), sides.data());
    }

    // An ARGB cursor from the picture; the server's default arrow where RENDER cannot make it.
    xcb_cursor_t makeCursor(const QImage& image, QPoint hotSpot)
    {
        if (image.isNull() || !argb_) return XCB_NONE;
        const QImage argb = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const xcb_pixmap_t pixmap = xcb_generate_id(c_);
        xcb_create_pixmap(c_, 32, pixmap, root_, std::uint16_t(argb.width()),
                          std::uint16_t(argb.height()));
        const xcb_gcontext_t gc = xcb_generate_id(c_);
        xcb_create_gc(c_, gc, pixmap, 0, nullptr);
        xcb_put_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap, gc, std::uint16_t(argb.width()),
                      std::uint16_t(argb.height()), 0, 0, 0, 32, std::uint32_t(argb.sizeInBytes()),
                      argb.constBits());
        const xcb_render_picture_t picture = xcb_generate_id(c_);
        xcb_render_create_picture(c_, picture, pixmap, argb_, 0, nullptr);
        const xcb_cursor_t cursor = xcb_generate_id(c_);
        xcb_render_create_cursor(c_, cursor, picture, std::uint16_t(hotSpot.x()),
                                 std::uint16_t(hotSpot.y()));
        xcb_render_free_picture(c_, picture);
        xcb_free_gc(c_, gc);
        xcb_free_pixmap(c_, pixmap);
        return cursor;
    }

    xcb_connection_t* c_;
    xcb_window_t root_;
    std::uint8_t depth_;
    xcb_visualid_t visual_;
    xcb_render_pictformat_t format_;
    xcb_render_pictformat_t argb_;
    xcb_key_symbols_t* keySymbols_;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    xcb_cursor_t cursor_ = XCB_NONE;
    xcb_render_picture_t picture_ = 0;
    QSize size_;
    xcb_atom_t compositorAtom_ = XCB_NONE;
    std::uint32_t shown_ = 0;
    bool mapped_ = false;
    bool focused_ = false;
    std::optional<QRect> selection_;
    Handlers handlers_;
};

// The picture formats of the root visual and of 32-bit ARGB; nothing without RENDER.
std::optional<std::pair<xcb_render_pictformat_t, xcb_render_pictformat_t>>
renderFormats(xcb_connection_t* c, xcb_visualid_t rootVisual)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_render_id);
    if (!ext || !ext->present) return std::nullopt;
    auto version =
        own(xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
    auto formats =
        own(xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    if (!version || !formats) return std::nullopt;
    xcb_render_pictformat_t visualFormat = 0, argb = 0;
    for (auto s = xcb_render_query_pict_formats_screens_iterator(formats.get()); s.rem;
         xcb_render_pictscreen_next(&s))
        for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem;
             xcb_render_pictdepth_next(&d))
            for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
                 xcb_render_pictvisual_next(&v))
                if (v.data->visual == rootVisual) visualFormat = v.data->format;
    for (auto f = xcb_render_query_pict_formats_formats_iterator(formats.get()); f.rem;
         xcb_render_pictforminfo_next(&f)) {
        const xcb_render_pictforminfo_t& i = *f.data;
        if (i.type == XCB_RENDER_PICT_TYPE_DIRECT && i.depth == 32 && i.direct.alpha_mask == 0xFF &&
            i.direct.alpha_shift == 24 && i.direct.red_shift == 16 && i.direct.green_shift == 8 &&
            i.direct.blue_shift == 0)
            argb = i.id;
    }
    if (!visualFormat) return std::nullopt;
    return std::pair{visualFormat, argb};
}

} // namespace

QList<QRect> ChangedSelectionPixels(const QRect& before, const QRect& after)
{
    const auto shown = [](const QRect& r) { return r.width() >= 0 && r.height() >= 0; };
    QRegion changed;
    if (shown(before)) changed += outer(before);
    if (shown(after)) changed += outer(after);
    // Fill without outline in both: blended the same way before and after.
    if (shown(before) && shown(after)) changed -= inner(before) & inner(after);
    return {changed.begin(), changed.end()};
}

ServerOverlay* ServerOverlay::Get(const QImage& cursor, QPoint hotSpot)
{
    static std::unique_ptr<XcbOverlay> overlay;
    static bool tried = false;
    if (tried) return overlay.get();
    tried = true;
    xcb_connection_t* c = ApplicationConnection();
    if (!c || xcb_connection_has_error(c)) return nullptr;
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < ApplicationScreen() && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem) return nullptr;
    const auto formats = renderFormats(c, it.data->root_visual);
    if (!formats) return nullptr;
    auto made = std::make_unique<XcbOverlay>(c, it.data, formats->first, formats->second);
    if (!made->create(cursor, hotSpot)) return nullptr;
    overlay = std::move(made);
    return overlay.get();
}

} // namespace tarvo::platform::x11
