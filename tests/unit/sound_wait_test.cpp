// The feedback sounds play synchronously: whoever plays one goes on only when it has finished.
#include "capture/capture.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "settings/settings.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>
#include <vector>

namespace tarvo {
namespace {

TEST(FeedbackSound, TheCapturePipelineWaitsForTheFailureSound)
{
    std::vector<int> played;
    std::vector<qsizetype> sizes;
    const ScopedServices services([&](Services& s) {
        s.playSound = [&](int id, const QByteArray& wave) {
            QThread::msleep(250); // a sound that takes a while
            played.push_back(id);
            sizes.push_back(wave.size());
        };
        s.captureScreen = [](CaptureArea*) {
            QImage img(64, 48, QImage::Format_RGB32);
            img.fill(Qt::gray);
            return img;
        };
        s.selectRegion = [](const CaptureArea&, const QImage&) {
            return SelectionRect{1, 2, 10, 10};
        };
    });
    Settings = SettingsRecord{};
    Settings.sounds = true;

    QElapsedTimer t;
    t.start();
    RunCapture(3); // no such destination: a failure
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_EQ(played, std::vector<int>{IDW_FAILURE});
    EXPECT_EQ(sizes, std::vector<qsizetype>{113720}); // the whole wave resource

    Settings.sounds = false;
    RunCapture(3);
    EXPECT_EQ(played.size(), 1u);
}

} // namespace
} // namespace tarvo
