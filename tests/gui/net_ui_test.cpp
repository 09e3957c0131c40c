#include "net/upload.h"
#include "net/version_check.h"
#include "platform/commands.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "settings/settings.h"
#include "support/http_server.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace tarvo {
namespace {

class Recorder : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr param) override
    {
        if (command == CmdAddHistory) links << *reinterpret_cast<const QString*>(param);
        ++count;
    }
    std::atomic<int> count{0};
    QStringList links;
};

QMessageBox* OpenBox()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) return box;
    return nullptr;
}

TEST(VersionBox, AsksOnTheUiThreadWithoutBlockingIt)
{
    Recorder window;
    platform::SetMainWindow(&window);
    for (const bool yes : {true, false}) {
        const int textId = yes ? IDS_NEW_VERSION : IDS_OUTDATED;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QMessageBox::StandardButtons buttons;
        bool appModal = true;
        bool servedMeanwhile = false;
        std::thread sender;
        int before = 0;

        // The box runs its own loop; act from inside it.
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QMessageBox* box = OpenBox();
            if (!box) return;
            if (!sender.joinable()) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                appModal = QApplication::activeModalWidget() != nullptr;
                // Another worker's command while the box is open.
                before = window.count;
                sender = std::thread([] { platform::SendCommand(CmdRefreshIcon, 0); });
                return;
            }
            if (window.count == before) return;
            servedMeanwhile = true;
            poll.stop();
            box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
        });
        poll.start();

        std::atomic<int> answer{-1};
        std::thread worker([&] { answer = AskOnUiThread(textId) ? 1 : 0; });
        EXPECT_TRUE(test::ProcessEventsUntil([&] { return answer != -1; }, 10000));
        poll.stop();
        worker.join();
        if (sender.joinable()) sender.join();

        EXPECT_EQ(answer, yes ? 1 : 0);
        EXPECT_EQ(title, "Tarvo");
        EXPECT_EQ(text, LoadStringResource(textId));
        EXPECT_EQ(icon, QMessageBox::NoIcon);
        EXPECT_EQ(buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_FALSE(appModal); // blocks no other window
        EXPECT_TRUE(servedMeanwhile);
    }
    platform::SetMainWindow(nullptr);
}

TEST(UploadClipboard, TheLinkGoesToTheClipboardAndHistory)
{
    test::TempHome home;
    test::HttpServer server;
    home.env().set("TARVO_SERVICE_URL", server.baseUrl().toUtf8());
    home.env().set("no_proxy", "127.0.0.1");
    Recorder window;
    platform::SetMainWindow(&window);
    Settings = SettingsRecord{};
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));

    auto job = std::make_unique<UploadJob>();
    job->image = "img";
    job->imageSize = 3;
    job->mimeType = QStringLiteral("image/jpeg");
    StartUpload(std::move(job));
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.count == 3; }, 15000));
    ASSERT_EQ(window.links.size(), 1);
    EXPECT_TRUE(window.links[0].endsWith(".htm"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window.links[0]);

    // A failed upload leaves the clipboard alone.
    test::CannedReply busy;
    busy.status = 500;
    busy.body = "busy";
    server.setReply(busy);
    job = std::make_unique<UploadJob>();
    job->image = "img";
    job->imageSize = 3;
    StartUpload(std::move(job));
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return window.count == 5; }, 15000));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window.links[0]);
    EXPECT_EQ(UploadsInProgress.load(), 0);
    platform::SetMainWindow(nullptr);
}

} // namespace
} // namespace tarvo
