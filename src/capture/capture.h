#pragma once
#include "capture/selection.h"

#include <QImage>
#include <QString>
#include <cstdint>
#include <functional>

namespace tarvo {

// Freezes the screen, lets the user select a rectangle and delivers it to the destination.
// Runs on the user-interface thread; lets no exception out.
void RunCapture(std::int32_t destination);

// Copies the whole screen; *area receives the covered rectangle. Null without a display.
QImage CaptureScreen(CaptureArea* area);

// The selected part of the frozen image in its pixel format. A null image when the rectangle
// is not wholly inside the image or has no size.
QImage ExtractFragment(const QImage& frozen, const SelectionRect& selection);

// The steps RunCapture calls out to. Tests replace them to run the pipeline without a display
// or a user; the defaults are the real screen copy, overlay and deliveries.
struct CaptureSteps
{
    std::function<QImage(CaptureArea*)> captureScreen;
    std::function<SelectionRect(const CaptureArea&, const QImage&)> selectRegion;
    std::function<void(const QImage&)> postToClipboard;
    std::function<void(const QImage&)> saveToNumberedFile;
    std::function<void(const QImage&, const QString&)> encodeForUpload;

    static CaptureSteps Defaults();
};

// The steps in use; assign CaptureSteps::Defaults() to put the real ones back.
CaptureSteps& CurrentCaptureSteps();

} // namespace tarvo
