#include "app/tray_window.h"

#include "app/browser.h"
#include "capture/capture.h"
#include "net/log.h"
#include "platform/commands.h"
#include "platform/global_shortcuts.h"
#include "platform/process_state.h"
#include "platform/resources.h"
#include "platform/tray_host.h"
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
#include <QSystemTrayIcon>

namespace tarvo {

using platform::CaptureShortcut;
using platform::ShortcutKind;

TarvoTrayDlg::TarvoTrayDlg(std::unique_ptr<TrayShell> shell)
    : CTrayDialog(nullptr, std::move(shell)), appIcon_(LoadIconResource(IDI_TARVO))
{
    runCapture = [](std::int32_t destination) { RunCapture(destination); };
    openInBrowser = [](const QString& text) { return OpenInBrowser(text); };
    sleep = [](int ms) { platform::PauseWithEvents(std::chrono::milliseconds(ms)); };
    makeShortcut = [] { return platform::MakeCaptureShortcut(); };
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
    ExportMenu();
    TrayShow();

    if (makeShortcut) shortcut_ = makeShortcut();
    if (shortcut_) {
        // Posted, not sent: the capture starts after the key event has been handled.
        connect(shortcut_.get(), &CaptureShortcut::activated, this,
                [] { platform::PostCommand(CmdCapture, 0); });
        connect(shortcut_.get(), &CaptureShortcut::changed, this, [this] { OnShortcutChanged(); });
        shortcut_->Register(Settings.hotkeyMod, Settings.hotkey);
    }

    hide();
    return true;
}

void TarvoTrayDlg::DestroyWindow()
{
    if (destroyed_) return;
    destroyed_ = true;
    if (shortcut_) shortcut_->Unregister();
    DestroyTray();
    hide();
    // The main window is gone: the message loop ends.
    QCoreApplication::quit();
}

void TarvoTrayDlg::OnSysCommand(qintptr command, qintptr param)
{
    if (destroyed_) return;
    Dispatch(command, param);
    // History, destination and key text may have changed: the host's copy of the menu follows.
    if (!destroyed_) SyncExportedMenu();
}

void TarvoTrayDlg::Dispatch(qintptr command, qintptr param)
{
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
    FillTrayMenu(menu);
    return menu;
}

void TarvoTrayDlg::FillTrayMenu(QMenu* menu) const
{
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
    const QString key = CaptureKeyText();
    QAction* capture = add(LoadStringResource(IDS_CAPTURE) +
                               (key.isEmpty() ? QString() : QStringLiteral("\t") + key),
                           CmdCapture);
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
}

QString TarvoTrayDlg::CaptureKeyText() const
{
    if (!shortcut_ || shortcut_->kind() == ShortcutKind::KeyGrab) return HotkeyText();
    // The desktop chose the key: name only what it says it bound.
    return shortcut_->state() == CaptureShortcut::State::Active ? shortcut_->trigger() : QString();
}

QString TarvoTrayDlg::ShortcutNote() const
{
    if (!shortcut_ || shortcut_->kind() == ShortcutKind::KeyGrab) return {};
    switch (shortcut_->state()) {
    case CaptureShortcut::State::Active:
        if (shortcut_->trigger().isEmpty())
            return QStringLiteral("Клавишу для снимка назначает рабочий стол, в своих настройках.");
        return QStringLiteral("Клавишу для снимка назначил рабочий стол: %1. Изменить её можно в "
                              "его настройках.")
            .arg(shortcut_->trigger());
    case CaptureShortcut::State::Pending:
        return QStringLiteral("Рабочий стол ещё не ответил на запрос клавиши для снимка.");
    case CaptureShortcut::State::Refused:
        return QStringLiteral("Рабочий стол не назначил клавишу для снимка. Назначьте её в его "
                              "настройках на команду: tarvo --capture");
    default:
        return QStringLiteral("Этот рабочий стол не даёт программам глобальных клавиш. Назначьте "
                              "клавишу в его настройках на команду: tarvo --capture");
    }
}

void TarvoTrayDlg::OnShortcutChanged()
{
    const QString combo = ModifiersToText(Settings.hotkeyMod) + KeyCodeToName(Settings.hotkey);
    switch (shortcut_->state()) {
    case CaptureShortcut::State::Taken:
        LogFormat(u"Cannot register hotkey %s: another program holds it", combo);
        break;
    case CaptureShortcut::State::NoSuchKey:
        LogFormat(u"Cannot register hotkey %s: no such key on this keyboard", combo);
        break;
    case CaptureShortcut::State::Active:
        if (shortcut_->kind() == ShortcutKind::Portal)
            LogFormat(u"Global shortcut bound by the desktop: %s",
                      shortcut_->trigger().isEmpty() ? QStringLiteral("(no key named)")
                                                     : shortcut_->trigger());
        break;
    case CaptureShortcut::State::Unavailable:
    case CaptureShortcut::State::Refused:
        LogFormat(u"No global shortcut: %s. Bind a key in the desktop's settings to the command "
                  u"tarvo --capture",
                  shortcut_->reason());
        break;
    default:
        break;
    }
    SyncExportedMenu();
}

void TarvoTrayDlg::ShowTrayMenu(QPoint pos)
{
    // A second request while the menu is open (a host's quick second click, a repeated
    // Activate) keeps the one menu: menus never stack.
    if (openMenu_) return;
    std::unique_ptr<QMenu> menu(BuildTrayMenu());
    openMenu_ = menu.get();
    activateWindow();
    // The menu's bottom-right corner goes to the cursor, 5 pixels up.
    const QSize size = menu->sizeHint();
    // Where the menu cannot be a popup (a Wayland client without a focused window of its own),
    // it becomes a window, and a tiling compositor floats one of fixed size instead of filling
    // the screen with it.
    menu->setFixedSize(size);
    QAction* chosen = menu->exec(QPoint(pos.x() - size.width(), pos.y() - 5 - size.height()));
    const int command = chosen ? chosen->data().toInt() : 0;
    openMenu_ = nullptr;
    menu.reset();
    if (captureAfterMenu_) {
        captureAfterMenu_ = false;
        platform::SendCommand(CmdCapture, 0);
        return;
    }
    if (chosen) RunChosenCommand(command);
}

void TarvoTrayDlg::RunChosenCommand(int command)
{
    if (command == CmdCapture && sleep) sleep(500); // let the menu vanish first
    platform::SendCommand(command, 1);
}

void TarvoTrayDlg::ExportMenu()
{
    // With a StatusNotifierItem host the icon is an item on the bus and the host shows its
    // context menu from an exported copy; an XEmbed tray would pop that copy up by itself on
    // a right click, next to the one shown here, so it gets none.
    QSystemTrayIcon* icon = systemTrayIcon();
    if (!icon || !platform::StatusNotifierWatcherRunning()) return;
    LogText(u"Tray icon: a StatusNotifierItem, its menu exported to the host");
    exportedMenu_ = new QMenu(this);
    connect(
        exportedMenu_, &QMenu::triggered, this,
        [this](QAction* a) { RunChosenCommand(a->data().toInt()); }, Qt::QueuedConnection);
    SyncExportedMenu();
    icon->setContextMenu(exportedMenu_);
}

void TarvoTrayDlg::SyncExportedMenu()
{
    if (!exportedMenu_) return;
    // The host names entries by the ids the toolkit gave them when they were added. Where only
    // texts and marks changed, the entries stay and keep their ids: a click the host sends on
    // the menu it read a moment ago still lands on the entry it showed.
    QMenu fresh;
    FillTrayMenu(&fresh);
    const QList<QAction*> now = exportedMenu_->actions();
    const QList<QAction*> want = fresh.actions();
    bool sameEntries = now.size() == want.size();
    for (qsizetype i = 0; sameEntries && i < now.size(); ++i)
        sameEntries =
            now[i]->isSeparator() == want[i]->isSeparator() && now[i]->data() == want[i]->data();
    if (sameEntries) {
        for (qsizetype i = 0; i < now.size(); ++i) {
            if (now[i]->text() != want[i]->text()) now[i]->setText(want[i]->text());
            if (now[i]->isChecked() != want[i]->isChecked())
                now[i]->setChecked(want[i]->isChecked());
        }
        return;
    }
    exportedMenu_->clear();
    for (QActionGroup* g : exportedMenu_->findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly))
        delete g;
    FillTrayMenu(exportedMenu_);
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
void TarvoTrayDlg::OnTrayMiddleClick(QPoint)
{
    // Hosts that report no double click have this instead. With the menu open, the menu goes
    // first and the capture follows when it has.
    if (openMenu_) {
        captureAfterMenu_ = true;
        openMenu_->close();
        return;
    }
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
    dlg.shortcutNote = ShortcutNote();
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
