#pragma once
// A dialog that owns one icon in the system tray: it keeps the icon's record, adds, changes and
// removes the icon, and turns the tray's mouse events into virtual operations.
#include <QDialog>
#include <QIcon>
#include <QPoint>
#include <QString>
#include <memory>

class QSystemTrayIcon;
class QTimer;

namespace tarvo {

struct NotifyIconData
{
    static constexpr unsigned NIF_MESSAGE = 0x1;
    static constexpr unsigned NIF_ICON = 0x2;
    static constexpr unsigned NIF_TIP = 0x4;
    static constexpr int kTipCapacity = 128; // characters, with the terminating zero

    QWidget* window = nullptr;
    unsigned id = 1;
    unsigned flags = NIF_MESSAGE;
    unsigned callbackMessage = 0x401;
    QIcon icon;
    QString tip;
};

// The tray itself: the real one is a QSystemTrayIcon; tests put a recording one in its place.
class TrayShell
{
public:
    virtual ~TrayShell() = default;
    virtual bool Add(const NotifyIconData& data) = 0;
    virtual bool Modify(const NotifyIconData& data) = 0;
    virtual bool Delete(const NotifyIconData& data) = 0;
};

class CTrayDialog : public QDialog
{
    Q_OBJECT
public:
    // Mouse messages of the tray callback.
    enum : int
    {
        WM_CONTEXTMENU = 0x007B,
        WM_MOUSEMOVE = 0x0200,
        WM_LBUTTONDOWN = 0x0201,
        WM_LBUTTONUP = 0x0202,
        WM_LBUTTONDBLCLK = 0x0203,
        WM_RBUTTONDOWN = 0x0204,
        WM_RBUTTONUP = 0x0205,
        WM_RBUTTONDBLCLK = 0x0206,
        WM_MBUTTONDOWN = 0x0207,
    };

    explicit CTrayDialog(QWidget* parent = nullptr, std::unique_ptr<TrayShell> shell = nullptr);
    ~CTrayDialog() override;

    void TraySetIcon(const QIcon& icon);
    void TraySetToolTip(const QString& tip);
    bool TrayShow();
    bool TrayUpdate();
    bool TrayIsVisible() const { return visible_; }
    const NotifyIconData& iconRecord() const { return nid_; }

    // The tray's callback: routes a mouse message for icon id to the operations below.
    void OnTrayNotification(qintptr id, qintptr mouseMessage);

    // Default handling of the window-frame commands (0xF000 and up).
    virtual void OnSysCommandBase(qintptr command);

    // The window is going away: removes the icon if it is in the tray.
    void DestroyTray();

    // The tray host (re)appeared: adds the icon again and marks it visible on success.
    virtual void OnTaskbarCreated();

Q_SIGNALS:
    // The tray host appeared (again), e.g. after the panel restarted.
    void taskbarCreated();

protected:
    virtual void OnTrayClick(QPoint pos);
    virtual void OnTrayDoubleClick(QPoint pos);
    virtual void OnTrayRightClick(QPoint pos);
    virtual void OnTrayRightDoubleClick(QPoint pos);
    virtual void OnTrayHover(QPoint pos);
    // The middle button, or a StatusNotifierItem host's secondary activation.
    virtual void OnTrayMiddleClick(QPoint pos);

    // The QSystemTrayIcon behind the real shell, or null with an injected one.
    QSystemTrayIcon* systemTrayIcon() const;

private:
    void wireSystemTray();
    void watchForTray();

    bool visible_ = false;
    NotifyIconData nid_;
    std::unique_ptr<TrayShell> shell_;
    QTimer* clickTimer_ = nullptr; // tells a single click from the first half of a double click
    QPoint clickPos_;
    QTimer* trayWatch_ = nullptr;
};

} // namespace tarvo
