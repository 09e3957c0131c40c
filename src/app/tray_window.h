#pragma once
// The program's only long-lived window. It is never shown: it owns the tray icon, the
// capture hotkey and the tray menu, and every command arrives at its dispatcher.
#include "app/history.h"
#include "app/tray_dialog.h"
#include "platform/commands.h"
#include "platform/window.h"

#include <QIcon>
#include <functional>

class QMenu;

namespace tarvo {

class GlobalHotkey;

class TarvoTrayDlg : public CTrayDialog, public platform::CommandTarget
{
    Q_OBJECT
public:
    explicit TarvoTrayDlg(std::unique_ptr<TrayShell> shell = nullptr);
    ~TarvoTrayDlg() override;

    // Creates the window from its template and initialises it: loads the settings, puts the
    // icon in the tray, registers the hotkey, hides. False if the window cannot be created.
    bool Create();
    // The exit command: unregisters the hotkey, removes the tray icon, ends the message loop.
    void DestroyWindow();
    bool isDestroyed() const { return destroyed_; }

    // The dispatcher: every command number arrives here on the user-interface thread.
    void OnSysCommand(qintptr command, qintptr param) override;

    // Builds the tray menu as it would be shown now (a new menu each time; caller owns it).
    QMenu* BuildTrayMenu() const;

    History& history() { return history_; }

    // Test seams: what the dispatcher calls out to.
    std::function<void(std::int32_t destination)> runCapture;
    std::function<bool(const QString& text)> openInBrowser;
    std::function<void(int ms)> sleep;

protected:
    void OnTrayClick(QPoint pos) override;
    void OnTrayDoubleClick(QPoint pos) override;
    void OnTrayRightClick(QPoint pos) override;
    void OnTaskbarCreated() override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void ShowTrayMenu(QPoint pos);
    void RefreshIcon();
    void RunOptions();
    void RunTitleRequest(TitleRequest* request);
    void RunAbout();

    QIcon appIcon_;
    History history_;
    bool destroyed_ = false;
    std::unique_ptr<GlobalHotkey> hotkey_;
};

} // namespace tarvo
