#include "capture/capture.h"

#include "capture/overlay.h"
#include "capture/overlay_wayland.h"
#include "imaging/destinations.h"
#include "imaging/encode_upload.h"
#include "net/log.h"
#include "platform/clipboard.h"
#include "platform/commands.h"
#include "platform/frozen_screen.h"
#include "platform/hresult.h"
#include "platform/http.h"
#include "platform/report.h"
#include "platform/resources.h"
#include "platform/screen.h"
#include "platform/services.h"
#include "platform/session.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "platform/x11/server_overlay.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QRect>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tarvo {

QImage CaptureScreen(CaptureArea* area)
{
    QRect root;
    QImage image = platform::GrabRootWindow(&root);
    if (!image.isNull() && area) *area = CaptureArea::FromRect(root);
    return image;
}

QImage ExtractFragment(const QImage& frozen, const SelectionRect& s)
{
    if (frozen.isNull() ||
        !platform::InsidePicture(s.x, s.y, s.width, s.height, frozen.width(), frozen.height()))
        return {};
    return frozen.copy(s.x, s.y, s.width, s.height);
}

namespace {

// How long the frozen picture may stay up after the release while it is delivered.
constexpr std::chrono::milliseconds kLongestFrozenAfterRelease{150};
// How long it stays once the picture is there, so that whoever asked at once (a paste, a
// clipboard manager, the link's reader) has the answer before every window below repaints.
constexpr std::chrono::milliseconds kFrozenAfterDelivery{20};

// The capture under way, as a key pressed again meanwhile sees it.
struct Running
{
    bool delivering = false;                   // the selection is made and the picture on its way
    std::optional<std::int32_t> again;         // a capture asked for meanwhile, to run next
    std::shared_ptr<platform::Happening> hold; // what the frozen picture waits for
};
Running* gRunning = nullptr; // the capture under way, if any

// The capture's steps: those of the services in use, the real ones where they name none.
struct CaptureSteps
{
    std::function<QImage(CaptureArea*)> captureScreen = &CaptureScreen;
    std::function<SelectionRect(const CaptureArea&, const QImage&)> selectRegion = &SelectRegion;
    // Both say when the picture is delivered (the clipboard has it, the file has its bytes), so
    // the overlay can go then and not before; both take its bytes if already on their way.
    using Deliver =
        std::function<void(const QImage&, const std::function<void()>&, const EncodedFragment&)>;
    Deliver postToClipboard = [](const QImage& fragment, const std::function<void()>& posted,
                                 const EncodedFragment& encoded) {
        PostToClipboard(fragment, posted, encoded);
    };
    Deliver saveToNumberedFile = [](const QImage& fragment, const std::function<void()>& written,
                                    const EncodedFragment& encoded) {
        SaveToNumberedFile(fragment, written, encoded);
    };
    std::function<void(const QImage&, const QString&, std::function<void()>)> encodeForUpload =
        &EncodeForUpload;
    // The overlay the X server paints from its own copy of the screen; only when no step of
    // the freeze is replaced, since the replacements work on an image.
    platform::x11::ServerOverlay* server = nullptr;

    explicit CaptureSteps(const Services& s)
    {
        if (!s.captureScreen && !s.selectRegion) server = ServerOverlayInUse();
        if (s.captureScreen) captureScreen = s.captureScreen;
        if (s.selectRegion) selectRegion = s.selectRegion;
        if (s.postToClipboard)
            postToClipboard = [post = s.postToClipboard](const QImage& fragment,
                                                         const std::function<void()>& shown,
                                                         const EncodedFragment&) {
                shown(); // a step of its own has the screen back first, as it always had
                post(fragment);
            };
        if (s.saveToNumberedFile)
            saveToNumberedFile = [save = s.saveToNumberedFile](const QImage& fragment,
                                                               const std::function<void()>& shown,
                                                               const EncodedFragment&) {
                shown();
                save(fragment);
            };
        if (s.encodeForUpload)
            encodeForUpload = [upload = s.encodeForUpload](const QImage& fragment,
                                                           const QString& title,
                                                           const std::function<void()>& finished) {
                upload(fragment, title);
                if (finished) finished();
            };
    }
};

// In a Wayland session the copy also says where each output lies in the frozen image, which the
// overlay needs to give each output's window its part. Steps the services name stay theirs.
void useWaylandSteps(CaptureSteps& steps, const Services& s, std::vector<OutputPlacement>& outputs,
                     std::int32_t destination)
{
    if (!s.captureScreen)
        steps.captureScreen = [&outputs](CaptureArea* area) {
            return CaptureScreenWayland(area, &outputs);
        };
    if (s.selectRegion) return;
    steps.selectRegion = [&outputs, destination](const CaptureArea& area, const QImage& frozen) {
        std::function<void(const SelectionRect&)> whileShown;
        // Without the data-control protocol a compositor may take the clipboard only from the
        // focused client: the picture goes there while the overlay still has the focus (and
        // once more by the delivery, as everywhere).
        if (destination == DestinationClipboard && ClipboardNeedsFocus())
            whileShown = [&frozen](const SelectionRect& selection) {
                const QImage fragment = ExtractFragment(frozen, selection);
                if (!fragment.isNull()) CopyImageToClipboard(fragment);
            };
        return SelectRegionOnOutputs(area, frozen, outputs, whileShown);
    };
}

// While the pointer holds still during a drag, the selection as it stands is fetched and
// encoded, so that a release on the same rectangle finds its picture ready: people stop before
// they let go. The frozen screen never changes, so the same rectangle means the same bytes.
class Guess
{
public:
    explicit Guess(QString imageFormat) : imageFormat_(std::move(imageFormat)) {}

    // The pointer rests on s; false while the last guess is still encoding.
    bool Rest(const platform::FrozenScreen& frozen, const SelectionRect& s)
    {
        if (encoded_.bytes.valid()) {
            if (!encoded_.ready()) return false; // one encode at a time
            if (s == selection_) return true;
        }
        Forget();
        fragment_ = frozen.Pixels(QRect(s.x, s.y, s.width, s.height));
        if (fragment_.isNull()) return true;
        selection_ = s;
        encoded_ = EncodeForDelivery(fragment_, imageFormat_);
        return true;
    }

    // Whether the guess is the released selection's.
    bool Right(const SelectionRect& s) const { return encoded_.bytes.valid() && s == selection_; }
    const QImage& Fragment() const { return fragment_; }
    const EncodedFragment& Encoded() const { return encoded_; }

    // A wrong guess is let go, its encode waited out first: the next fetch and encode must not
    // come on top of it, which would double the peak memory of a large capture.
    void Forget()
    {
        encoded_.wait();
        selection_ = {};
        fragment_ = {};
        encoded_ = {};
    }

private:
    QString imageFormat_;
    SelectionRect selection_;
    QImage fragment_;
    EncodedFragment encoded_;
};

void playFailureSound()
{
    if (Settings.sounds) PlaySoundResource(IDW_FAILURE);
}

// The log has the details already; the notification says in plain words what went wrong.
void notifyFailure(bool folderNotWritable)
{
    platform::ReportFailure(
        platform::Failure::Capture, {},
        folderNotWritable
            ? QStringLiteral("Не удалось сохранить снимок: папка недоступна для записи.")
            : QStringLiteral("Не удалось сделать снимок экрана."));
}

void capture(std::int32_t destination, Running& running)
{
    // Taken once, so a step that changes the services cannot pull them from under this capture.
    const auto services = CurrentServices();
    CaptureSteps steps(*services);
    std::vector<OutputPlacement> outputs;
    if (platform::ActiveBackend() == platform::Backend::Wayland)
        useWaylandSteps(steps, *services, outputs, destination);

    // The upload's HTTP library loads while the user chooses the picture.
    if (destination == DestinationWeb) platform::PrepareHttp();
    // Keys typed while the screen is copied go to the overlay, not to the window underneath.
    std::optional<platform::KeyboardHold> keys(std::in_place);
    LogText(u"Capturing screen");
    std::unique_ptr<platform::FrozenScreen> frozen;
    SelectionRect selection;
    if (steps.server) frozen = steps.server->Freeze();
    // The server overlay stays up until the pixels are fetched, and goes on every path; the
    // server's copy of the screen goes with it, not before (freeing it keeps the server busy).
    const struct Hide
    {
        platform::x11::ServerOverlay* overlay;
        std::unique_ptr<platform::FrozenScreen>* frozen;
        void operator()() const
        {
            if (!overlay) return;
            overlay->Hide();
            frozen->reset();
        }
        ~Hide() { (*this)(); }
    } hide{frozen ? steps.server : nullptr, &frozen};
    // Only the clipboard and the file take ready bytes.
    Guess guess(destination == DestinationClipboard ? QStringLiteral("image/png")
                                                    : QString(Settings.imageFormat));
    const bool guessing = destination == DestinationClipboard || destination == DestinationFile;
    if (frozen) {
        selection = SelectRegionOnServer(
            *steps.server, *frozen,
            guessing ? [&](const SelectionRect& s) { return guess.Rest(*frozen, s); }
                     : std::function<bool(const SelectionRect&)>());
    } else {
        CaptureArea area;
        QImage image = steps.captureScreen(&area);
        if (image.isNull()) {
            LogText(u"Bitmap not captured");
            ThrowHr(E_FAIL);
        }
        selection = steps.selectRegion(area, image);
        frozen = platform::FreezeImage(std::move(image),
                                       QRect(area.left, area.top, area.width(), area.height()));
    }
    keys.reset();
    LogFormat(u"Selection is: width=%i, height=%i", selection.width, selection.height);
    if (selection.width == 0 || selection.height == 0) {
        LogText(u"Selection is empty");
        ThrowHr(E_FAIL);
    }

    const QRect area = frozen->Area();
    const bool guessed = guess.Right(selection);
    if (!guessed) guess.Forget();
    QImage fragment = guess.Fragment(); // null unless guessed
    if (!guessed && platform::InsidePicture(selection.x, selection.y, selection.width,
                                            selection.height, area.width(), area.height()))
        fragment =
            frozen->Pixels(QRect(selection.x, selection.y, selection.width, selection.height));
    // The web route without a title holds the frozen picture until the link is there.
    const bool held = destination == DestinationFile || destination == DestinationClipboard ||
                      (destination == DestinationWeb && !Settings.annotate);
    // A slow disk or a huge picture must not leave the user looking at a frozen screen.
    QTimer hideAnyway;
    if (held && hide.overlay) {
        // The frozen picture stays up without its frame until it is delivered: unmapping
        // sets every window below repainting, which would take the processor from the encoder
        // for a picture that looks the same as the one shown.
        hide.overlay->SetSelection(QRect(0, 0, -1, -1));
        hideAnyway.setSingleShot(true);
        QObject::connect(&hideAnyway, &QTimer::timeout, [&hide] { hide(); });
        hideAnyway.start(kLongestFrozenAfterRelease);
    } else {
        hide();
    }
    if (!hide.overlay) frozen.reset(); // an image of the screen is let go before the slow part
    if (fragment.isNull()) {
        LogText(u"Cannot extract fragment");
        ThrowHr(E_FAIL);
    }
    const EncodedFragment encoded = guess.Encoded();
    const auto hideSoon = [&hideAnyway] {
        if (hideAnyway.isActive() && hideAnyway.remainingTimeAsDuration() > kFrozenAfterDelivery)
            hideAnyway.start(kFrozenAfterDelivery);
    };

    QString title;
    running.delivering = destination != DestinationWeb || !Settings.annotate;
    switch (destination) {
    case DestinationClipboard:
        steps.postToClipboard(fragment, hideSoon, encoded);
        break;
    case DestinationFile:
        steps.saveToNumberedFile(
            fragment, [&hide] { hide(); }, encoded);
        break;
    case DestinationWeb:
        if (Settings.annotate) {
            TitleRequest request;
            request.result = 2;
            request.title = &title;
            platform::SendCommand(CmdAskTitle, reinterpret_cast<qintptr>(&request));
            if (request.result != 1) return; // the user cancelled: nothing to say
            running.delivering = true;
            steps.encodeForUpload(fragment, QString(title), {});
        } else {
            const auto linked = std::make_shared<platform::Happening>();
            running.hold = linked;
            steps.encodeForUpload(fragment, title, [linked] { linked->Notify(); });
            if (hideAnyway.isActive())
                linked->Wait(QDeadlineTimer(hideAnyway.remainingTimeAsDuration()));
            // A moment more for the link's reader, unless the key asks for the next capture.
            if (hideAnyway.isActive() && !running.again) {
                const auto settle = std::make_shared<platform::Happening>();
                running.hold = settle;
                settle->Wait(QDeadlineTimer(
                    std::min(kFrozenAfterDelivery, hideAnyway.remainingTimeAsDuration())));
            }
        }
        break;
    default:
        ThrowHr(E_FAIL);
    }
}

} // namespace

void RunCapture(std::int32_t destination)
{
    // One capture at a time: the overlay runs its own loop, where the key pressed again would
    // otherwise start a second capture that freezes the first overlay and stacks on top of it.
    // A key pressed while the picture is delivered is kept: the next capture runs after this
    // one, and a frozen picture held for the upload goes at once.
    if (gRunning) {
        if (gRunning->delivering) {
            gRunning->again = destination;
            if (gRunning->hold) gRunning->hold->Notify();
        }
        return;
    }
    Running running;
    gRunning = &running;
    const struct Done
    {
        Running& running;
        ~Done()
        {
            gRunning = nullptr;
            if (const auto again = running.again; again && QCoreApplication::instance())
                QTimer::singleShot(0, QCoreApplication::instance(),
                                   [destination = *again] { RunCapture(destination); });
        }
    } done{running};

    // Whatever way the capture ends, its buffers are gone: the pages go back to the system.
    const struct Trim
    {
        ~Trim() { platform::GiveBackFreedMemory(); }
    } trim;

    try {
        capture(destination, running);
    } catch (const ComError& e) {
        if (e.Error() == CancelledCode) {
            LogText(u"Request cancelled");
            return;
        }
        LogFormat(u"Exception: 0x%08x: %s", std::uint32_t(e.Error()), ErrorMessageText(e.Error()));
        playFailureSound();
        notifyFailure(dynamic_cast<const FolderNotWritable*>(&e) != nullptr);
    } catch (...) {
        LogText(u"Unknown exception, cannot post");
        playFailureSound();
        notifyFailure(false);
    }
}

} // namespace tarvo

namespace {

// The overlay window is made at start, so the first capture only copies, maps and grabs.
void prepareCaptureOverlay()
{
    QTimer::singleShot(0, QCoreApplication::instance(), [] { tarvo::ServerOverlayInUse(); });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(prepareCaptureOverlay)
