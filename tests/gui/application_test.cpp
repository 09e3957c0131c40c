#include "app/application.h"
#include "app/tray_window.h"
#include "platform/instance_lock.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "settings/settings.h"
#include "support/modal.h"
#include "support/temp_env.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

TEST(Application, SecondStartShowsTheMessageAndEnds)
{
    test::TempHome home;
    platform::InstanceLock other; // the first instance
    ASSERT_EQ(other.Acquire(QString::fromLatin1(kInstanceMutexName)),
              platform::InstanceLock::Result::Acquired);

    QString text, title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    test::OnNextModal<QMessageBox>([&](QMessageBox* box) {
        text = box->text();
        title = box->windowTitle();
        icon = box->icon();
        buttons = int(box->buttons().size());
        box->accept();
    });
    TarvoTrayApp app;
    app.splashMs = 0;
    app.startVersionCheck = false;
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(app.mainWindow(), nullptr);
    EXPECT_EQ(text, "Tarvo уже загружен. Обратите внимание на значок в системном трее");
    EXPECT_EQ(title, "Tarvo");
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(buttons, 1);
    app.ExitInstance();
    // The first instance still holds its guard.
    EXPECT_TRUE(other.held());
    platform::InstanceLock probe;
    EXPECT_EQ(probe.Acquire(QString::fromLatin1(kInstanceMutexName)),
              platform::InstanceLock::Result::AlreadyHeld);
}

TEST(Application, StartsHiddenWithSettingsLoadedAndExitReleasesTheGuard)
{
    test::TempHome home;
    Settings = SettingsRecord{};
    Exiting = false;
    {
        TarvoTrayApp app;
        app.splashMs = 0;
        app.startVersionCheck = false;
        app.startVersionCheck = false;
        ASSERT_TRUE(app.InitInstance());
        TarvoTrayDlg* w = app.mainWindow();
        ASSERT_TRUE(w);
        EXPECT_FALSE(w->isVisible());
        EXPECT_EQ(w->windowTitle(), "Tarvo");
        EXPECT_EQ(Settings.hotkey, 44); // loaded while the window was created
        EXPECT_EQ(w->iconRecord().tip, LoadStringResource(IDS_TOOLTIP_IDLE));

        platform::InstanceLock probe;
        EXPECT_EQ(probe.Acquire(QString::fromLatin1(kInstanceMutexName)),
                  platform::InstanceLock::Result::AlreadyHeld);
        app.ExitInstance();
        EXPECT_TRUE(Exiting.load());
        EXPECT_EQ(probe.Acquire(QString::fromLatin1(kInstanceMutexName)),
                  platform::InstanceLock::Result::Acquired);
    }
    Exiting = false;
}

TEST(Application, SplashBlocksForItsFullTime)
{
    test::TempHome home;
    TarvoTrayApp app;
    app.splashMs = 300;
    app.startVersionCheck = false;
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(app.InitInstance());
    EXPECT_GE(t.elapsed(), 300);
    app.ExitInstance();
    Exiting = false;
}

} // namespace
} // namespace tarvo
