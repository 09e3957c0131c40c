#pragma once
// The program's only long-lived window. It is never shown: it owns the tray icon, the
// capture hotkey and the tray menu, and every command arrives at its dispatcher.
#include "app/history.h"
#include "app/tray_dialog.h"
#include "platform/commands.h"
#include "platform/window.h"

#include <QIcon>
#include <QPointer>
#include <functional>
#include <memory>

class QMenu;

namespace tarvo {

namespace platform {
class CaptureShortcut;
}

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
    // The text after the capture item's tab: the key that captures now, or empty where none
    // is known to work (the desktop bound nothing).
    QString CaptureKeyText() const;
    // What the options dialog says under the key settings about the shortcut, or empty.
    QString ShortcutNote() const;
    // The menu a StatusNotifierItem host shows (its right click), or null on an XEmbed tray.
    QMenu* exportedMenu() const { return exportedMenu_; }

    History& history() { return history_; }

    // Test seams: what the dispatcher calls out to.
    std::function<void(std::int32_t destination)> runCapture;
    std::function<bool(const QString& text)> openInBrowser;
    std::function<void(int ms)> sleep;
    // Makes the capture shortcut when the window is created.
    std::function<std::unique_ptr<platform::CaptureShortcut>()> makeShortcut;

protected:
    void OnTrayClick(QPoint pos) override;
    void OnTrayDoubleClick(QPoint pos) override;
    void OnTrayRightClick(QPoint pos) override;
    void OnTrayMiddleClick(QPoint pos) override;
    void OnTaskbarCreated() override;
    void closeEvent(QCloseEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void Dispatch(qintptr command, qintptr param);
    void FillTrayMenu(QMenu* menu) const;
    void ShowTrayMenu(QPoint pos);
    void RunChosenCommand(int command);
    void ExportMenu();
    void SyncExportedMenu();
    void OnShortcutChanged();
    void RefreshIcon();
    void RunOptions();
    void RunTitleRequest(TitleRequest* request);
    void RunAbout();

    QIcon appIcon_;
    History history_;
    bool destroyed_ = false;
    std::unique_ptr<platform::CaptureShortcut> shortcut_;
    QPointer<QMenu> openMenu_;      // the tray menu while it is shown
    bool captureAfterMenu_ = false; // a capture asked for while the menu was open
    QMenu* exportedMenu_ = nullptr;
};

} // namespace tarvo
