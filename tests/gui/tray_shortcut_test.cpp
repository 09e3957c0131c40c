// The tray window with each kind of capture shortcut: what the menu and the options dialog
// say about the key, that an activation captures, and that tray menus never stack.
#include "app/tray_window.h"
#include "platform/commands.h"
#include "platform/global_shortcuts.h"
#include "platform/window.h"
#include "settings/options_dialog.h"
#include "settings/settings.h"
#include "support/modal.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <gtest/gtest.h>

namespace tarvo {
namespace {

using platform::CaptureShortcut;
using platform::ShortcutKind;
using State = CaptureShortcut::State;

class NullShell : public TrayShell
{
public:
    bool Add(const NotifyIconData&) override { return true; }
    bool Modify(const NotifyIconData&) override { return true; }
    bool Delete(const NotifyIconData&) override { return true; }
};

class FakeShortcut : public CaptureShortcut
{
public:
    explicit FakeShortcut(ShortcutKind kind) : kind_(kind) {}
    ShortcutKind kind() const override { return kind_; }
    void Register(int mods, int vk) override { asked = {mods, vk}; }
    void Unregister() override { ++unregistered; }
    void set(State s, const QString& trigger = {}) { setState(s, trigger, "why"); }
    void press() { Q_EMIT activated(); }

    std::pair<int, int> asked{-1, -1};
    int unregistered = 0;

private:
    ShortcutKind kind_;
};

class TrayShortcut : public ::testing::Test
{
protected:
    void make(ShortcutKind kind)
    {
        Settings = SettingsRecord{};
        window = std::make_unique<TarvoTrayDlg>(std::make_unique<NullShell>());
        window->runCapture = [this](std::int32_t d) { captures.push_back(d); };
        window->sleep = [](int) {};
        window->makeShortcut = [this, kind] {
            auto s = std::make_unique<FakeShortcut>(kind);
            shortcut = s.get();
            return s;
        };
        ASSERT_TRUE(window->Create());
        platform::SetMainWindow(window.get());
    }
    void TearDown() override { platform::SetMainWindow(nullptr); }

    QString captureLine()
    {
        std::unique_ptr<QMenu> m(window->BuildTrayMenu());
        for (QAction* a : m->actions())
            if (a->data().toInt() == CmdCapture) return a->text();
        return {};
    }
    static int menusShown()
    {
        int n = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMenu*>(w) && w->isVisible()) ++n;
        return n;
    }

    test::TempHome home;
    std::unique_ptr<TarvoTrayDlg> window;
    FakeShortcut* shortcut = nullptr;
    std::vector<std::int32_t> captures;
};

TEST_F(TrayShortcut, TheMenuAndTheOptionsNameOnlyAKeyThatWorks)
{
    const struct
    {
        ShortcutKind kind;
        State state;
        const char* trigger;
        const char* line;
        const char* note; // a part of the options dialog's note; null: no note
    } cases[] = {
        // The X grab keeps today's texts, whatever became of the grab.
        {ShortcutKind::KeyGrab, State::Active, "", "&Захватить экран!\tPrint Screen", nullptr},
        {ShortcutKind::KeyGrab, State::Taken, "", "&Захватить экран!\tPrint Screen", nullptr},
        // The desktop chose: its words, and nothing while it has bound nothing.
        {ShortcutKind::Portal, State::Active, "Ctrl+Shift+Print",
         "&Захватить экран!\tCtrl+Shift+Print", "назначил рабочий стол: Ctrl+Shift+Print"},
        {ShortcutKind::Portal, State::Active, "", "&Захватить экран!", "назначает рабочий стол"},
        {ShortcutKind::Portal, State::Pending, "", "&Захватить экран!", "ещё не ответил"},
        {ShortcutKind::Portal, State::Unavailable, "", "&Захватить экран!", "tarvo --capture"},
        {ShortcutKind::Portal, State::Refused, "", "&Захватить экран!", "tarvo --capture"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        make(c.kind);
        EXPECT_EQ(shortcut->asked, (std::pair<int, int>{0, 44}));
        shortcut->set(c.state, QString::fromUtf8(c.trigger));
        EXPECT_EQ(captureLine(), QString::fromUtf8(c.line));
        if (c.note)
            EXPECT_TRUE(window->ShortcutNote().contains(QString::fromUtf8(c.note)))
                << window->ShortcutNote().toStdString();
        else
            EXPECT_TRUE(window->ShortcutNote().isEmpty());
        platform::SetMainWindow(nullptr);
        window.reset();
    }
}

TEST_F(TrayShortcut, TheOptionsDialogShowsTheNoteUnderTheKeysOnlyWhenThereIsOne)
{
    for (const bool portal : {true, false}) {
        SCOPED_TRACE(portal ? "portal" : "key grab");
        make(portal ? ShortcutKind::Portal : ShortcutKind::KeyGrab);
        shortcut->set(portal ? State::Unavailable : State::Active);
        bool shown = false;
        QString text;
        test::OnNextModal<COptionsDlg>([&](COptionsDlg* dlg) {
            auto* label = dlg->findChild<QLabel*>("shortcutNote");
            shown = label && label->isVisible();
            text = label ? label->text() : QString();
            dlg->reject();
        });
        window->OnSysCommand(CmdOptions, 1);
        EXPECT_EQ(shown, portal);
        EXPECT_EQ(text, window->ShortcutNote());
        platform::SetMainWindow(nullptr);
        window.reset();
    }
}

TEST_F(TrayShortcut, AnActivationCapturesAndExitUnregisters)
{
    make(ShortcutKind::Portal);
    shortcut->set(State::Active, "Print");
    Settings.destination = DestinationFile;
    shortcut->press();
    EXPECT_TRUE(captures.empty()); // posted: after the signal's handler has returned
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return !captures.empty(); }));
    EXPECT_EQ(captures, std::vector<std::int32_t>{DestinationFile});
    window->OnSysCommand(CmdExit, 0);
    EXPECT_EQ(shortcut->unregistered, 1);
}

TEST_F(TrayShortcut, ARequestWhileTheMenuIsOpenNeverOpensAnotherAndAMiddleClickClosesItAndCaptures)
{
    make(ShortcutKind::KeyGrab);
    int seenWhileOpen = -1;
    QTimer::singleShot(100, [&] { window->OnTrayNotification(1, CTrayDialog::WM_RBUTTONDOWN); });
    QTimer::singleShot(300, [&] { seenWhileOpen = menusShown(); });
    QTimer::singleShot(400, [&] { window->OnTrayNotification(1, CTrayDialog::WM_MBUTTONDOWN); });
    // Should the guard fail, the stacked menus must still close for the test to end.
    QTimer::singleShot(3000, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMenu*>(w)) w->close();
    });
    window->OnTrayNotification(1, CTrayDialog::WM_RBUTTONDOWN); // runs the menu's own loop
    EXPECT_EQ(seenWhileOpen, 1);
    EXPECT_EQ(menusShown(), 0);
    EXPECT_EQ(captures, std::vector<std::int32_t>{DestinationWeb});
}

TEST_F(TrayShortcut, AMiddleClickWithoutAMenuCaptures)
{
    make(ShortcutKind::KeyGrab);
    window->OnTrayNotification(1, CTrayDialog::WM_MBUTTONDOWN);
    EXPECT_EQ(captures, std::vector<std::int32_t>{DestinationWeb});
    EXPECT_EQ(menusShown(), 0);
}

} // namespace
} // namespace tarvo
