// What the user is told on the desktop when a capture or an upload fails: one notification per
// failure, in plain words, with nothing of the link, the token or the server's reply in it.
#include "capture/capture.h"
#include "net/log.h"
#include "net/upload.h"
#include "platform/commands.h"
#include "platform/hresult.h"
#include "platform/process_state.h"
#include "platform/report.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/settings.h"
#include "support/http_server.h"
#include "support/notifications.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QDir>
#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using test::Reply;

const QString kUnreachable = QStringLiteral("Не удалось отправить снимок: сервис недоступен.");
const QString kRefused = QStringLiteral("Сервер не принял снимок.");
const QString kUploadFailed = QStringLiteral("Не удалось отправить снимок.");
const QString kFolder = QStringLiteral("Не удалось сохранить снимок: папка недоступна для записи.");
const QString kCaptureFailed = QStringLiteral("Не удалось сделать снимок экрана.");

// Counts the icon refreshes that bracket every upload.
class Window : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr) override
    {
        if (command == CmdRefreshIcon) ++refreshes;
    }
    int refreshes = 0;
};

class FailureNotices : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.ok());
        home.env().set("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
        home.env().set("TARVO_SERVICE_URL", server.baseUrl().toUtf8());
        home.env().set("no_proxy", "127.0.0.1");
        platform::SetMainWindow(&window);
        Settings = SettingsRecord{};
        Settings.sounds = true;
        services.emplace([this](Services& s) {
            s.shownFailures = &shownFailures;
            s.playSound = [this](int id, const QByteArray&) {
                const std::lock_guard<std::mutex> g(soundsLock);
                sounds.push_back(id);
            };
        });
        ASSERT_TRUE(OpenLog(home.path() + "/tarvo.log"));
    }
    void TearDown() override
    {
        platform::SetMainWindow(nullptr);
        services.reset();
        CloseLog();
        Settings = SettingsRecord{};
    }

    // One upload, with the user-interface thread serving it until it has ended.
    void Upload()
    {
        auto job = std::make_unique<UploadJob>();
        job->image = QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(100, 'p');
        job->imageSize = std::uint64_t(job->image.size());
        job->mimeType = QStringLiteral("image/png");
        job->annotation = QStringLiteral("подпись");
        const int expected = window.refreshes + 2;
        StartUpload(std::move(job));
        ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.refreshes >= expected; }, 15000));
        EXPECT_EQ(UploadsInProgress.load(), 0);
    }
    int FailureSounds()
    {
        const std::lock_guard<std::mutex> g(soundsLock);
        return int(std::count(sounds.begin(), sounds.end(), IDW_FAILURE));
    }

    test::PrivateNotificationBus bus; // first: the home's environment points at it
    test::TempHome home;
    test::HttpServer server;
    Window window;
    std::mutex soundsLock;
    std::vector<int> sounds;
    std::set<platform::Failure> shownFailures;
    std::optional<ScopedServices> services;
};

TEST_F(FailureNotices, EveryFailedUploadIsShownOnceInPlainWords)
{
    const int closedPort = test::ClosedPort();
    test::DroppingServer dropping;
    struct Case
    {
        const char* what;
        QString url; // empty: the test server
        test::CannedReply reply;
        QString shown;
    };
    const Case cases[] = {
        {"connection refused",
         QStringLiteral("http://127.0.0.1:%1/db/").arg(closedPort),
         {},
         kUnreachable},
        {"reply stalled past the time-out", {}, Reply(200, "OK", 3000ms), kUnreachable},
        {"server error", {}, Reply(500, "key=SECRET-REPLY"), kRefused},
        {"not found", {}, Reply(404, ""), kRefused},
        {"redirect", {}, Reply(302, "OK"), kRefused},
        {"not OK", {}, Reply(200, "SECRET-REPLY"), kRefused},
        {"empty reply", {}, Reply(200, ""), kRefused},
        {"dropped connection", dropping.baseUrl(), {}, kUploadFailed},
        {"unusable address", QStringLiteral("no address at all"), {}, kUploadFailed},
    };
    const ScopedServices shortTimeouts([](Services& s) {
        s.uploadTimeouts = platform::HttpTimeouts{2000ms, 1000ms};
    });
    int shownBefore = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        home.env().set("TARVO_SERVICE_URL", (c.url.isEmpty() ? server.baseUrl() : c.url).toUtf8());
        server.setReply(c.reply);
        const int soundsBefore = FailureSounds();
        Upload();
        EXPECT_EQ(FailureSounds(), soundsBefore + 1);
        const QStringList shown = bus.shown(shownBefore + 1).mid(shownBefore);
        EXPECT_EQ(shown, QStringList{c.shown});
        shownBefore += int(shown.size());
    }
    // The same failure again is shown again: the user just asked for this upload.
    home.env().set("TARVO_SERVICE_URL", server.baseUrl().toUtf8());
    server.setReply(Reply(500, ""));
    Upload();
    Upload();
    EXPECT_EQ(bus.shown(shownBefore + 2).mid(shownBefore), (QStringList{kRefused, kRefused}));

    // Nothing the server or the request carried reaches the desktop.
    const QStringList all = bus.shown();
    ASSERT_FALSE(server.requests("POST").empty());
    for (const test::RecordedRequest& r : server.requests("POST")) {
        const QString token = QString::fromStdString(r.query.substr(3, 12));
        for (const QString& body : all)
            EXPECT_FALSE(body.contains(token)) << body.toStdString();
    }
    for (const QString& body : all) {
        EXPECT_FALSE(body.contains(QStringLiteral("SECRET"))) << body.toStdString();
        EXPECT_FALSE(body.contains(QStringLiteral("127.0.0.1"))) << body.toStdString();
        EXPECT_FALSE(body.contains(QStringLiteral("подпись"))) << body.toStdString();
    }
}

TEST_F(FailureNotices, ASuccessfulUploadShowsNothing)
{
    Upload();
    Upload();
    ASSERT_EQ(server.requests("POST").size(), 2u);
    EXPECT_EQ(sounds, (std::vector<int>{IDW_SUCCESS, IDW_SUCCESS}));
    EXPECT_TRUE(bus.shown().isEmpty());
}

TEST_F(FailureNotices, EveryFailedCaptureIsShownOnceAndACancelledOneNotAtAll)
{
    const QImage frozen(64, 48, QImage::Format_RGB32);
    // A file where the folder should be: no screenshot can be written into it, root or not.
    const QString notAFolder = home.path() + "/not-a-folder";
    test::TempHome::write(notAFolder, "x");
    struct Case
    {
        const char* what;
        std::int32_t destination;
        QString folder{}; // for the file destination
        SelectionRect selection{1, 2, 3, 4};
        std::optional<HRESULT> selectError{}; // thrown by the overlay
        bool deliveryThrowsOther = false;     // the clipboard step throws a non-code exception
        QString shown{};                      // empty: nothing
    };
    const Case cases[] = {
        {.what = "folder is a file",
         .destination = DestinationFile,
         .folder = notAFolder,
         .shown = kFolder},
        {.what = "folder is missing",
         .destination = DestinationFile,
         .folder = home.path() + "/gone/deeper",
         .shown = kFolder},
        {.what = "saved", .destination = DestinationFile, .folder = home.path()},
        {.what = "empty selection",
         .destination = DestinationFile,
         .folder = home.path(),
         .selection = {5, 5, 0, 0},
         .shown = kCaptureFailed},
        {.what = "overlay failed",
         .destination = DestinationClipboard,
         .selectError = E_FAIL,
         .shown = kCaptureFailed},
        {.what = "cancelled", .destination = DestinationClipboard, .selectError = CancelledCode},
        {.what = "delivery threw",
         .destination = DestinationClipboard,
         .deliveryThrowsOther = true,
         .shown = kCaptureFailed},
        {.what = "unknown destination", .destination = 3, .shown = kCaptureFailed},
    };
    int shownBefore = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ScopedServices steps([&](Services& s) {
            s.captureScreen = [&](CaptureArea* area) {
                *area = CaptureArea{0, 0, frozen.width(), frozen.height()};
                return frozen;
            };
            s.selectRegion = [&](const CaptureArea&, const QImage&) {
                if (c.selectError) ThrowHr(*c.selectError);
                return c.selection;
            };
            s.postToClipboard = [&](const QImage&) {
                if (c.deliveryThrowsOther) throw std::runtime_error("clipboard gone");
            };
        });
        // The real save, so that the failure comes from the file system.
        Settings.targetFolder = c.folder;
        Settings.imageFormat = QStringLiteral("image/png");
        RunCapture(c.destination);
        const QStringList shown = bus.shown(shownBefore + (c.shown.isEmpty() ? 0 : 1));
        EXPECT_EQ(shown.mid(shownBefore), c.shown.isEmpty() ? QStringList() : QStringList{c.shown});
        shownBefore = int(shown.size());
    }
    EXPECT_EQ(QDir(home.path()).entryList({"screenshot_*.png"}).size(), 1) << "the one saved";
}

} // namespace
} // namespace tarvo
