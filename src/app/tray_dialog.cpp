#include "app/tray_dialog.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QTimer>

namespace tarvo {

namespace {

class QtTrayShell final : public TrayShell
{
public:
    explicit QtTrayShell(QObject* owner) : icon_(new QSystemTrayIcon(owner)) {}

    bool Add(const NotifyIconData& d) override
    {
        apply(d);
        // Once shown, Qt docks the icon whenever a tray host is (or later becomes) there.
        icon_->show();
        return QSystemTrayIcon::isSystemTrayAvailable();
    }
    bool Modify(const NotifyIconData& d) override
    {
        apply(d);
        return true;
    }
    bool Delete(const NotifyIconData&) override
    {
        icon_->hide();
        return true;
    }
    QSystemTrayIcon* icon() const { return icon_; }

private:
    void apply(const NotifyIconData& d)
    {
        if (d.flags & NotifyIconData::NIF_ICON) icon_->setIcon(d.icon);
        if (d.flags & NotifyIconData::NIF_TIP) icon_->setToolTip(d.tip);
    }
    QSystemTrayIcon* icon_;
};

} // namespace

CTrayDialog::CTrayDialog(QWidget* parent, std::unique_ptr<TrayShell> shell)
    : QDialog(parent), shell_(std::move(shell))
{
    nid_.window = this;
    if (!shell_) {
        shell_ = std::make_unique<QtTrayShell>(this);
        wireSystemTray();
    }
    clickTimer_ = new QTimer(this);
    clickTimer_->setSingleShot(true);
    connect(clickTimer_, &QTimer::timeout, this, [this] { OnTrayClick(clickPos_); });
    connect(this, &CTrayDialog::taskbarCreated, this, [this] { OnTaskbarCreated(); });
}

CTrayDialog::~CTrayDialog() = default;

QSystemTrayIcon* CTrayDialog::systemTrayIcon() const
{
    auto* qt = dynamic_cast<QtTrayShell*>(shell_.get());
    return qt ? qt->icon() : nullptr;
}

void CTrayDialog::wireSystemTray()
{
    QSystemTrayIcon* icon = systemTrayIcon();
    // Queued: what a click starts (a menu, a capture, the exit that removes the icon) must run
    // after the icon's own event handler has returned, not inside it.
    connect(
        icon, &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason r) {
            switch (r) {
            case QSystemTrayIcon::Trigger:
                OnTrayNotification(nid_.id, WM_LBUTTONDOWN);
                break;
            case QSystemTrayIcon::DoubleClick:
                OnTrayNotification(nid_.id, WM_LBUTTONDBLCLK);
                break;
            case QSystemTrayIcon::Context:
                OnTrayNotification(nid_.id, WM_RBUTTONDOWN);
                break;
            case QSystemTrayIcon::MiddleClick:
                OnTrayNotification(nid_.id, WM_MBUTTONDOWN);
                break;
            default:
                break;
            }
        },
        Qt::QueuedConnection);
    // Qt re-docks a shown icon by itself when a panel restarts; what it does not tell is that
    // a tray host appeared while the icon was not in a tray, so watch for that while it lasts.
    trayWatch_ = new QTimer(this);
    trayWatch_->setInterval(1000);
    connect(trayWatch_, &QTimer::timeout, this, [this] {
        if (visible_ || !QSystemTrayIcon::isSystemTrayAvailable()) return;
        trayWatch_->stop();
        Q_EMIT taskbarCreated();
    });
}

void CTrayDialog::TraySetIcon(const QIcon& icon)
{
    nid_.icon = icon;
    nid_.flags |= NotifyIconData::NIF_ICON;
}

void CTrayDialog::TraySetToolTip(const QString& tip)
{
    nid_.tip = tip.left(NotifyIconData::kTipCapacity - 1);
    nid_.flags |= NotifyIconData::NIF_TIP;
}

bool CTrayDialog::TrayShow()
{
    if (!visible_) visible_ = shell_->Add(nid_);
    watchForTray();
    return visible_;
}

void CTrayDialog::watchForTray()
{
    if (trayWatch_ && !visible_ && !trayWatch_->isActive()) trayWatch_->start();
}

void CTrayDialog::OnTaskbarCreated()
{
    if (shell_->Add(nid_)) visible_ = true;
    watchForTray();
}

bool CTrayDialog::TrayUpdate()
{
    return visible_ && shell_->Modify(nid_);
}

void CTrayDialog::OnTrayNotification(qintptr id, qintptr mouseMessage)
{
    if (id != qintptr(nid_.id)) return;
    const QPoint pos = QCursor::pos();
    switch (mouseMessage) {
    case WM_LBUTTONDOWN:
        // Wait out the double-click interval so a double click does not flash the menu first.
        clickPos_ = pos;
        clickTimer_->start(QApplication::doubleClickInterval());
        break;
    case WM_LBUTTONDBLCLK:
        clickTimer_->stop();
        OnTrayDoubleClick(pos);
        break;
    case WM_RBUTTONDOWN:
    case WM_CONTEXTMENU:
        OnTrayRightClick(pos);
        break;
    case WM_RBUTTONDBLCLK:
        OnTrayRightDoubleClick(pos);
        break;
    case WM_MBUTTONDOWN:
        OnTrayMiddleClick(pos);
        break;
    case WM_MOUSEMOVE:
        OnTrayHover(pos);
        break;
    default:
        break;
    }
}

void CTrayDialog::OnSysCommandBase(qintptr command)
{
    if ((command & ~qintptr(0xF)) == 0xF020 /* SC_MINIMIZE */) {
        if (!visible_ && shell_->Add(nid_)) {
            visible_ = true;
            hide();
        }
        return;
    }
    if ((command & ~qintptr(0xF)) == 0xF060 /* SC_CLOSE */) close();
}

void CTrayDialog::DestroyTray()
{
    if (nid_.window && nid_.id > 0 && visible_) shell_->Delete(nid_);
}

void CTrayDialog::OnTrayClick(QPoint) {}

void CTrayDialog::OnTrayDoubleClick(QPoint)
{
    if (visible_ && shell_->Delete(nid_)) {
        visible_ = false;
        show();
    }
}

void CTrayDialog::OnTrayRightClick(QPoint) {}
void CTrayDialog::OnTrayRightDoubleClick(QPoint) {}
void CTrayDialog::OnTrayHover(QPoint) {}
void CTrayDialog::OnTrayMiddleClick(QPoint) {}

} // namespace tarvo
