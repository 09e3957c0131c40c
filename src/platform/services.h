#pragma once
// Every replaceable service of the program in one place. The program runs on the default set,
// in which an empty member stands for the real thing (ALSA, getrandom(2), the local clock, the
// encoders, the upload worker, the screen copy, the overlay and the deliveries), supplied by the
// layer that owns it. Tests build their own set and install it with ScopedServices, which puts
// the previous set back when it ends, so no test can leave a service changed for the next one.
#include "platform/http.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringView>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>

namespace tarvo {

// Declared by the layers that use them; named here only as the services' arguments.
struct UploadJob;
struct CaptureArea;
struct SelectionRect;
namespace platform {
enum class Failure;
}

struct Services
{
    // Plays a wave resource: its id and the whole wave file. Called on any thread.
    std::function<void(int id, const QByteArray& wave)> playSound;
    // Same contract as getrandom(2): bytes written, or -1 with errno set.
    long (*randomBytes)(void* buffer, std::size_t count, unsigned flags) = nullptr;
    // The log's time stamps; an empty result stands for a failed clock conversion.
    QString (*logClock)() = nullptr;
    // The transfer time-outs of uploads started while this set is in use.
    platform::HttpTimeouts uploadTimeouts;
    // The kinds of failure already shown as a notification (empty: one set for the process).
    // Read and changed under the failure reporter's lock.
    std::set<platform::Failure>* shownFailures = nullptr;

    // The web route's encoder (image, quality, MIME type) and the start of the upload worker.
    std::function<QByteArray(const QImage&, std::uint32_t, QStringView)> encodeForWeb;
    std::function<void(std::unique_ptr<UploadJob>)> startUpload;
    // The pause after posting to the clipboard.
    std::function<void(std::chrono::milliseconds)> clipboardWait;
    // Where the number of the last saved screenshot is kept (empty: one for the process).
    std::int32_t* screenshotCounter = nullptr;

    // The steps of a capture: the screen copy, the overlay and the three deliveries.
    std::function<QImage(CaptureArea*)> captureScreen;
    std::function<SelectionRect(const CaptureArea&, const QImage&)> selectRegion;
    std::function<void(const QImage&)> postToClipboard;
    std::function<void(const QImage&)> saveToNumberedFile;
    std::function<void(const QImage&, const QString&)> encodeForUpload;
};

// The set in use. Safe from any thread; the result stays valid however the set changes.
std::shared_ptr<const Services> CurrentServices();

// Installs a set for its lifetime and then puts back the one it replaced. Scopes nest.
class ScopedServices
{
public:
    explicit ScopedServices(Services services);
    // A copy of the set in use with change applied to it.
    explicit ScopedServices(const std::function<void(Services&)>& change);
    ~ScopedServices();
    ScopedServices(const ScopedServices&) = delete;
    ScopedServices& operator=(const ScopedServices&) = delete;

private:
    std::shared_ptr<const Services> previous_;
};

} // namespace tarvo
