#pragma once
// The selection overlay drawn by the X server itself. The root window is copied into a pixmap
// inside the server (no pixel travels to this program), the pixmap becomes the background of
// one override-redirect window made at start and kept unmapped, and the server paints the
// frozen screen on map and on every expose. This program draws only the selection's frame,
// and repaints only the pixels whose look changes; the pixels of the selection are fetched
// once, at release.
#include "platform/frozen_screen.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <functional>
#include <memory>

namespace tarvo::platform::x11 {

class ServerOverlay
{
public:
    // What the overlay reports; positions are screen pixels exactly as the server gives them.
    struct Handlers
    {
        std::function<void(QPoint)> press;   // left button down
        std::function<void(QPoint)> move;    // pointer moved
        std::function<void(QPoint)> release; // left button up
        std::function<void()> cancel;        // Escape, or another window took the focus
    };

    // The overlay of the toolkit's X connection, made on the first call; null without X or
    // without the RENDER extension (then the caller falls back to an image-backed overlay).
    // The cursor is the one shown over the frozen screen.
    static ServerOverlay* Get(const QImage& cursor, QPoint hotSpot);

    virtual ~ServerOverlay() = default;

    // Copies the whole root window into a new server pixmap. Without a compositing manager
    // the window is mapped first (see Show), which freezes the screen before the copy is made.
    // Null when the server refuses, with the window hidden again.
    virtual std::unique_ptr<FrozenScreen> Freeze() = 0;

    // Maps the window (unless Freeze did) over the screen with `frozen` as its picture and takes
    // the keyboard and the pointer, retrying while another client still holds them for up to
    // a second (then it stays up without them). False, with the window hidden again, when
    // cancelled() said to stop meanwhile or the picture is not one of Freeze's.
    virtual bool Show(const FrozenScreen& frozen, Handlers handlers,
                      const std::function<bool()>& cancelled) = 0;

    // The selection's fill rectangle in screen pixels (its outline lies one pixel right and
    // below); an invalid rectangle shows none. Only the pixels that change are repainted.
    virtual void SetSelection(const QRect& fill) = 0;

    // Lets go of the keyboard and the pointer; the window stays up.
    virtual void ReleaseInput() = 0;
    // Lets go of the input, unmaps the window and forgets the frozen picture.
    virtual void Hide() = 0;

    // The fill and the outline of the selection (the same as the image-backed overlay's).
    static constexpr std::uint32_t kFill = 0x32646464u;
    static constexpr std::uint32_t kOutline = 0xC8C8C8C8u;
};

// The device pixels whose look differs between two selections, as rectangles (fill rectangle
// plus its one-pixel outline right and below; an invalid rectangle is no selection).
QList<QRect> ChangedSelectionPixels(const QRect& before, const QRect& after);

} // namespace tarvo::platform::x11
