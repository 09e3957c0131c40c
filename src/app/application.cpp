#include "app/application.h"

#include "app/browser.h"
#include "app/command_line.h"
#include "app/tray_window.h"
#include "net/log.h"
#include "net/version_check.h"
#include "platform/commands.h"
#include "platform/exit_signals.h"
#include "platform/instance_channel.h"
#include "platform/process_state.h"
#include "platform/report.h"
#include "platform/resources.h"
#include "platform/window.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>
#include <chrono>
#include <thread>

namespace tarvo {

namespace {

// Runs after the current event, like the hotkey's capture: the request's sender has had its
// answer by then, and the capture's own loop does not run inside the socket's handler.
void queueCapture(TarvoTrayDlg* wnd, std::int32_t destination)
{
    if (destination == kMenuDestination) {
        platform::PostCommand(CmdCapture, 0);
        return;
    }
    QMetaObject::invokeMethod(
        wnd,
        [wnd, destination] {
            if (wnd->runCapture) wnd->runCapture(destination);
        },
        Qt::QueuedConnection);
}

// The instance that holds the guard may still be starting: it listens once its window is up.
bool forwardCapture(std::int32_t destination)
{
    QElapsedTimer t;
    t.start();
    do {
        if (platform::SendToInstance(QString::fromLatin1(kInstanceMutexName),
                                     CaptureMessage(destination)))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (t.elapsed() < 5000);
    return false;
}

// The application that a signal ends; the watch outlives it in tests that make several.
TarvoTrayApp* gSignalTarget = nullptr;

} // namespace

TarvoTrayApp::TarvoTrayApp() = default;

TarvoTrayApp::~TarvoTrayApp()
{
    channel_.reset();
    if (gSignalTarget == this) gSignalTarget = nullptr;
    platform::SetMainWindow(nullptr);
    mainWnd_.reset();
}

void TarvoTrayApp::showSplash()
{
    // Dialog 129: a caption-less, top-most picture centred on the screen.
    QDialog splash(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    splash.setObjectName(QStringLiteral("dialog129"));
    splash.setWindowTitle(LoadStringResource(IDS_TARVO));
    auto* layout = new QVBoxLayout(&splash);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* picture = new QLabel(&splash);
    picture->setPixmap(LoadBitmapResource(IDB_SPLASH));
    layout->addWidget(picture);
    splash.adjustSize();
    if (const QScreen* s = QGuiApplication::primaryScreen())
        splash.move(s->geometry().center() - splash.rect().center());
    splash.show();

    // Paint it at once. Until the window server has mapped the window there is nothing to
    // paint on, so let through only what the first paint needs, no input.
    QElapsedTimer t;
    t.start();
    while (!splash.windowHandle()->isExposed() && t.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
    splash.repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    // A timer, not a sleep: the window keeps repainting, but no input is taken yet.
    platform::PauseWithEvents(std::chrono::milliseconds(splashMs),
                              QEventLoop::ExcludeUserInputEvents);
    splash.hide();
}

bool TarvoTrayApp::InitInstance()
{
    // A signal ends the program as the exit command does: icon removed, lock released, log
    // written. One that comes before the main window exists is acted on once it does.
    gSignalTarget = this;
    platform::WatchExitSignals([](int sig) {
        LogFormat(u"Signal %i received, exiting", sig);
        TarvoTrayApp* app = gSignalTarget;
        if (!app) return;
        if (app->mainWnd_)
            platform::SendCommand(CmdExit, 0);
        else
            app->exitRequested_ = true;
    });
    showSplash();

    if (instance_.Acquire(QString::fromLatin1(kInstanceMutexName)) !=
        platform::InstanceLock::Result::Acquired) {
        instance_.Release();
        if (captureAtStart && forwardCapture(*captureAtStart)) return false;
        QMessageBox box(QMessageBox::Information, LoadStringResource(IDS_TARVO),
                        LoadStringResource(IDS_ALREADY_RUNNING), QMessageBox::Ok);
        box.exec();
        return false;
    }

    mainWnd_ = std::make_unique<TarvoTrayDlg>();
    platform::SetMainWindow(mainWnd_.get());
    if (!mainWnd_->Create()) return false;
    if (exitRequested_) {
        platform::SendCommand(CmdExit, 0);
        return false;
    }
    if (!mainWnd_->TrayIsVisible()) {
        // Nothing shows that the program runs, so say how to reach it; it keeps running, and
        // on X11 the icon appears should a tray host come later. (A Wayland client of Qt 6.4
        // decides once, at its first tray icon, whether a watcher is there: a later one gets
        // no item until the program starts again.)
        // Name the key only where one is really bound: on Wayland the desktop may have none.
        const QString key = mainWnd_->CaptureKeyText();
        const QString how = key.isEmpty() ? QStringLiteral("tarvo --capture")
                                          : key + QStringLiteral(" или tarvo --capture");
        platform::ReportFailure(
            platform::Failure::NoTray, QStringLiteral("No system tray: the icon is not shown"),
            QStringLiteral("Значок Tarvo не виден: нет области уведомлений. Снимок: %1.").arg(how));
    }
    listenForRequests();
    if (captureAtStart) queueCapture(mainWnd_.get(), *captureAtStart);
    if (startVersionCheck) StartVersionCheck(&OpenInBrowser);
    return true;
}

void TarvoTrayApp::listenForRequests()
{
    TarvoTrayDlg* wnd = mainWnd_.get();
    channel_ = std::make_unique<platform::InstanceChannel>([wnd](const QByteArray& request) {
        const auto destination = ReadCaptureMessage(request);
        if (!destination) return false;
        queueCapture(wnd, *destination);
        return true;
    });
    if (!channel_->Listen(QString::fromLatin1(kInstanceMutexName)))
        LogText(u"Cannot listen for capture requests from later starts");
}

int TarvoTrayApp::ExitInstance()
{
    Exiting.store(true);
    instance_.Release();
    return 0;
}

} // namespace tarvo
