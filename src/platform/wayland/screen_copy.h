#pragma once
// The screen of a Wayland session as one frozen picture. Where the compositor offers the wlroots
// screen-copy protocol every output is copied directly; elsewhere the desktop portal's
// Screenshot does it (see portal_screenshot.h). Both connect on their own, apart from the
// toolkit's connection, so a copy never waits on the program's event loop.
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <vector>

namespace tarvo::platform::wayland {

// One output of the session, as placed in the copied picture.
struct WaylandOutput
{
    QString name{};
    QRect rect{}; // in the picture's device pixels
    int scale = 1;
};

// Copies every output of the compositor named by WAYLAND_DISPLAY and composes them into one
// Format_RGB32 picture laid out as the compositor places them (uncovered corners black), each
// output at the largest scale of them all, so that an output of that scale is copied pixel for
// pixel. *area gets the picture's rectangle in those pixels (origin at the layout's top-left),
// *outputs the outputs within it. A null picture and *error on failure; a compositor that does
// not answer within timeoutMs fails too. Any pointer may be null.
QImage CopyWaylandScreen(QRect* area, std::vector<WaylandOutput>* outputs, QString* error,
                         int timeoutMs = 2000);

// Whether the compositor offers the direct copy (a short look at its globals). False when no
// Wayland display can be reached.
bool WaylandScreenCopyAvailable();

// The pieces of the copy, apart for the tests.

// A wl_shm buffer of one of the formats the copy understands, as a Format_RGB32 picture
// (alpha dropped), turned upright when the compositor said it is stored bottom-up. Null for a
// format it does not know.
QImage ShmToImage(const uchar* data, int width, int height, int stride, uint32_t shmFormat,
                  bool yInvert);

// The buffer of an output with this wl_output transform turned as the output shows it.
QImage ApplyOutputTransform(const QImage& buffer, int transform);

struct OutputGeometry
{
    QString name{};
    QRect logical{}; // the compositor's layout (xdg-output logical position and size)
    int scale = 1;
};

// Where each output lands in the composed picture: the layout's bounding box at the largest
// scale, moved to the origin. *area gets the whole picture's rectangle.
std::vector<WaylandOutput> LayOutOutputs(const std::vector<OutputGeometry>& geometry, QRect* area);

} // namespace tarvo::platform::wayland
