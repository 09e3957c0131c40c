#include "app/tray_window.h"

#include "app/browser.h"
#include "capture/capture.h"
#include "net/log.h"
#include "platform/commands.h"
#include "platform/hotkey.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/window.h"
#include "settings/dialogs.h"
#include "settings/keynames.h"
#include "settings/service.h"
#include "settings/settings.h"
#include "ui_dialog102.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QScreen>

namespace tarvo {

namespace {

constexpr int kHotkeyId = 100;

} // namespace

TarvoTrayDlg::TarvoTrayDlg(std::unique_ptr<TrayShell> shell)
    : CTrayDialog(nullptr, std::move(shell)), appIcon_(LoadIconResource(IDI_TARVO))
{
    runCapture = [](std::int32_t destination) { RunCapture(destination); };
    openInBrowser = [](const QString& text) { return OpenInBrowser(text); };
    sleep = [](int ms) { platform::PauseWithEvents(std::chrono::milliseconds(ms)); };
}

TarvoTrayDlg::~TarvoTrayDlg()
{
    if (!destroyed_) DestroyTray();
    history_.Clear();
}

bool TarvoTrayDlg::Create()
{
    Ui::Dialog102 ui;
    ui.setupUi(this);

    LoadSettings();

    setWindowIcon(appIcon_);
    TraySetIcon(appIcon_);
    TraySetToolTip(LoadStringResource(IDS_TOOLTIP_IDLE));
    TrayShow();

    hotkey_ = std::make_unique<GlobalHotkey>([](int id) {
        // Posted, not sent: the capture starts after the key event has been handled.
        if (id == kHotkeyId) platform::PostCommand(CmdCapture, 0);
    });
    const auto r = hotkey_->Register(kHotkeyId, Settings.hotkeyMod, Settings.hotkey);
    if (r == GlobalHotkey::Result::Taken)
        LogFormat(u"Cannot register hotkey %s: another program holds it",
                  ModifiersToText(Settings.hotkeyMod) + KeyCodeToName(Settings.hotkey));
    else if (r == GlobalHotkey::Result::NoSuchKey)
        LogFormat(u"Cannot register hotkey %s: no such key on this keyboard",
                  ModifiersToText(Settings.hotkeyMod) + KeyCodeToName(Settings.hotkey));

    hide();
    return true;
}

void TarvoTrayDlg::DestroyWindow()
{
    if (destroyed_) return;
    destroyed_ = true;
    if (hotkey_) hotkey_->Unregister(kHotkeyId);
    DestroyTray();
    hide();
    // The main window is gone: the message loop ends.
    QCoreApplication::quit();
}

void TarvoTrayDlg::OnSysCommand(qintptr command, qintptr param)
{
    if (destroyed_) return;
    switch (command) {
    case CmdAbout:
        RunAbout();
        return;
    case CmdShow:
        show();
        raise();
        activateWindow();
        return;
    case CmdExit:
        DestroyWindow();
        return;
    case CmdCapture:
        if (runCapture) runCapture(Settings.destination);
        return;
    case CmdAddHistory: {
        // The command's parameter carries the sender's pointer.
        const auto* text =
            reinterpret_cast<const QString*>(param); // NOLINT(performance-no-int-to-ptr)
        if (!text) return;
        history_.Add(*text);
        if (Settings.immediatelyOpen && openInBrowser)
            openInBrowser(history_.at(history_.size() - 1));
        return;
    }
    case CmdAutorunClear:
    case CmdAutorunOff:
        Settings.autorun = false;
        SaveSettings();
        return;
    case CmdVisitSite:
        if (openInBrowser) openInBrowser(ProductSiteUrl());
        return;
    case CmdRefreshIcon:
        RefreshIcon();
        return;
    case CmdClearHistory:
        history_.Clear();
        return;
    case CmdSendToWeb:
        Settings.destination = DestinationWeb;
        SaveSettings();
        return;
    case CmdSendToClipboard:
        Settings.destination = DestinationClipboard;
        SaveSettings();
        return;
    case CmdSoundsOn:
        Settings.sounds = true;
        SaveSettings();
        return;
    case CmdSoundsOff:
        Settings.sounds = false;
        SaveSettings();
        return;
    case CmdToggleAnnotate:
        Settings.annotate = !Settings.annotate;
        SaveSettings();
        return;
    case CmdOptions:
        RunOptions();
        return;
    case CmdSendToFile:
        Settings.destination = DestinationFile;
        SaveSettings();
        return;
    case CmdAskTitle:
        RunTitleRequest(
            reinterpret_cast<TitleRequest*>(param)); // NOLINT(performance-no-int-to-ptr)
        return;
    case SC_MINIMIZE:
        hide();
        return;
    case SC_CLOSE:
        OnSysCommand(SC_MINIMIZE, 0);
        return;
    default:
        break;
    }
    if (command >= CmdHistoryFirst && command < 0xF000) {
        // An index beyond the history cannot come from our own menu; ignore it.
        const auto i = std::size_t(command - CmdHistoryFirst);
        if (i < history_.size() && !history_.at(i).isEmpty() && openInBrowser)
            openInBrowser(history_.at(i));
        return;
    }
    if (command >= 0xF000) OnSysCommandBase(command);
}

QMenu* TarvoTrayDlg::BuildTrayMenu() const
{
    auto* menu = new QMenu;
    auto add = [menu](const QString& text, int command) {
        QAction* a = menu->addAction(text);
        a->setData(command);
        return a;
    };
    for (std::size_t i = 0; i < history_.size(); ++i)
        add(history_.at(i), CmdHistoryFirst + int(i));
    if (!history_.empty()) {
        menu->addSeparator();
        add(LoadStringResource(IDS_CLEAR_HISTORY), CmdClearHistory);
    }
    QAction* capture = add(LoadStringResource(IDS_CAPTURE) + u'\t' + HotkeyText(), CmdCapture);
    add(LoadStringResource(IDS_OPTIONS), CmdOptions);
    menu->addSeparator();
    const struct
    {
        int id;
        int command;
        int destination;
    } destinations[] = {{IDS_SEND_TO_WEB, CmdSendToWeb, DestinationWeb},
                        {IDS_SEND_TO_CLIPBOARD, CmdSendToClipboard, DestinationClipboard},
                        {IDS_SEND_TO_FILE, CmdSendToFile, DestinationFile}};
    // One radio group: the chosen destination has the mark, the others none at all.
    auto* group = new QActionGroup(menu);
    group->setExclusive(true);
    for (const auto& d : destinations) {
        QAction* a = add(LoadStringResource(d.id), d.command);
        a->setCheckable(true);
        a->setActionGroup(group);
        a->setChecked(Settings.destination == d.destination);
    }
    menu->addSeparator();
    add(LoadStringResource(IDS_ABOUT), CmdAbout);
    add(LoadStringResource(IDS_VISIT_SITE), CmdVisitSite);
    menu->addSeparator();
    add(LoadStringResource(IDS_EXIT), CmdExit);
    menu->setDefaultAction(capture);
    return menu;
}

void TarvoTrayDlg::ShowTrayMenu(QPoint pos)
{
    std::unique_ptr<QMenu> menu(BuildTrayMenu());
    activateWindow();
    // The menu's bottom-right corner goes to the cursor, 5 pixels up.
    const QSize size = menu->sizeHint();
    QAction* chosen = menu->exec(QPoint(pos.x() - size.width(), pos.y() - 5 - size.height()));
    if (!chosen) return;
    const int command = chosen->data().toInt();
    menu.reset();
    if (command == CmdCapture && sleep) sleep(500); // let the menu vanish first
    platform::SendCommand(command, 1);
}

void TarvoTrayDlg::OnTrayClick(QPoint pos)
{
    ShowTrayMenu(pos);
}
void TarvoTrayDlg::OnTrayRightClick(QPoint pos)
{
    ShowTrayMenu(pos);
}
void TarvoTrayDlg::OnTrayDoubleClick(QPoint)
{
    platform::SendCommand(CmdCapture, 0);
}

void TarvoTrayDlg::OnTaskbarCreated()
{
    CTrayDialog::OnTaskbarCreated();
}

void TarvoTrayDlg::RefreshIcon()
{
    const bool busy = UploadsInProgress.load() != 0;
    const QIcon icon = LoadIconResource(busy ? IDI_SENDING : IDI_TARVO);
    if (!icon.isNull()) TraySetIcon(icon);
    TraySetToolTip(LoadStringResource(busy ? IDS_TOOLTIP_SENDING : IDS_TOOLTIP_IDLE));
    TrayUpdate();
}

void TarvoTrayDlg::RunOptions()
{
    COptionsDlg dlg;
    static_cast<SettingsRecord&>(dlg) = Settings;
    if (dlg.DoModal() != IDOK) return;
    Settings = static_cast<const SettingsRecord&>(dlg);
    SaveSettings();
}

void TarvoTrayDlg::RunTitleRequest(TitleRequest* request)
{
    if (!request || !request->title) return;
    CTitleDlg dlg;
    dlg.title = *request->title;
    request->result = dlg.DoModal();
    if (request->result == IDOK) *request->title = dlg.title;
}

void TarvoTrayDlg::RunAbout()
{
    CAboutDlg dlg(openInBrowser);
    dlg.DoModal();
}

void TarvoTrayDlg::closeEvent(QCloseEvent* e)
{
    // Closing only hides the window.
    e->ignore();
    OnSysCommand(SC_CLOSE, 0);
}

void TarvoTrayDlg::changeEvent(QEvent* e)
{
    if (e->type() == QEvent::WindowStateChange && isMinimized()) {
        setWindowState(windowState() & ~Qt::WindowMinimized);
        OnSysCommand(SC_MINIMIZE, 0);
    }
    CTrayDialog::changeEvent(e);
}

} // namespace tarvo
