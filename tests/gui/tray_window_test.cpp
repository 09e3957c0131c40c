#include "app/tray_window.h"
#include "platform/commands.h"
#include "platform/process_state.h"
#include "platform/registry.h"
#include "platform/resources.h"
#include "settings/dialogs.h"
#include "settings/settings.h"
#include "support/modal.h"
#include "support/temp_env.h"

#include <QAction>
#include <QActionGroup>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace tarvo {
namespace {

struct ShellLog
{
    std::vector<std::string> calls;
    bool addSucceeds = true;
    NotifyIconData last;
};

class FakeShell : public TrayShell
{
public:
    explicit FakeShell(std::shared_ptr<ShellLog> log) : log_(std::move(log)) {}
    bool Add(const NotifyIconData& d) override { return record("add", d) && log_->addSucceeds; }
    bool Modify(const NotifyIconData& d) override { return record("modify", d); }
    bool Delete(const NotifyIconData& d) override { return record("delete", d); }

private:
    bool record(const char* what, const NotifyIconData& d)
    {
        log_->calls.push_back(what);
        log_->last = d;
        return true;
    }
    std::shared_ptr<ShellLog> log_;
};

class TrayWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Settings = SettingsRecord{};
        window = std::make_unique<TarvoTrayDlg>(std::make_unique<FakeShell>(shell));
        window->runCapture = [this](std::int32_t d) { captures.push_back(d); };
        window->openInBrowser = [this](const QString& t) {
            opened.push_back(t);
            return true;
        };
        window->sleep = [this](int ms) { slept.push_back(ms); };
        ASSERT_TRUE(window->Create());
    }
    void TearDown() override { platform::SetMainWindow(nullptr); }

    // The menu as a person reads it: texts, "-" for separators, "*" before the checked ones.
    std::vector<std::string> menuLines()
    {
        std::unique_ptr<QMenu> m(window->BuildTrayMenu());
        std::vector<std::string> out;
        for (QAction* a : m->actions()) {
            if (a->isSeparator())
                out.push_back("-");
            else
                out.push_back((a->isChecked() ? "*" : "") + a->text().toStdString());
        }
        return out;
    }
    int commandOf(const QString& text)
    {
        std::unique_ptr<QMenu> m(window->BuildTrayMenu());
        for (QAction* a : m->actions())
            if (a->text() == text) return a->data().toInt();
        return -1;
    }
    void add(const QString& text)
    {
        window->OnSysCommand(CmdAddHistory, reinterpret_cast<qintptr>(&text));
    }
    QByteArray store() const { return test::TempHome::read(home.storeFile()); }

    test::TempHome home;
    std::shared_ptr<ShellLog> shell = std::make_shared<ShellLog>();
    std::unique_ptr<TarvoTrayDlg> window;
    std::vector<std::int32_t> captures;
    std::vector<QString> opened;
    std::vector<int> slept;
};

const std::vector<std::string> kTail = {"&Захватить экран!\tPrint Screen",
                                        "&Установки...",
                                        "-",
                                        "*Посылать картинку на веб",
                                        "Посылать картинку в буфер обмена",
                                        "Посылать картинку в файл",
                                        "-",
                                        "&Про Tarvo...",
                                        "Посетить &Tarvo веб-сайт",
                                        "-",
                                        "&Выход из Tarvo"};

TEST_F(TrayWindow, InitialisationPutsTheIdleIconInTheTray)
{
    EXPECT_EQ(shell->calls, std::vector<std::string>{"add"});
    EXPECT_TRUE(window->TrayIsVisible());
    EXPECT_EQ(shell->last.tip, "Tarvo, где ваш экран идёт сразу на sweb");
    EXPECT_EQ(shell->last.id, 1u);
    EXPECT_EQ(shell->last.flags,
              NotifyIconData::NIF_MESSAGE | NotifyIconData::NIF_ICON | NotifyIconData::NIF_TIP);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(TrayWindow, MenuWithEmptyFullAndOverflowingHistory)
{
    EXPECT_EQ(menuLines(), kTail);

    for (int i = 1; i <= 10; ++i)
        add(QString("http://h/db/%1.htp").arg(i));
    auto lines = menuLines();
    ASSERT_EQ(lines.size(), 12 + kTail.size());
    EXPECT_EQ(lines[0], "http://h/db/1.htp");
    EXPECT_EQ(lines[9], "http://h/db/10.htp");
    EXPECT_EQ(lines[10], "-");
    EXPECT_EQ(lines[11], "Очистить историю");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 12, lines.end()), kTail);

    add("/home/u/screenshot_00001.png"); // the eleventh pushes out the first
    lines = menuLines();
    EXPECT_EQ(lines[0], "http://h/db/2.htp");
    EXPECT_EQ(lines[9], "/home/u/screenshot_00001.png");
    EXPECT_EQ(commandOf("/home/u/screenshot_00001.png"), CmdHistoryFirst + 9);

    add("/home/u/screenshot_00001.png"); // duplicates are kept
    lines = menuLines();
    EXPECT_EQ(lines[8], "/home/u/screenshot_00001.png");
    EXPECT_EQ(lines[9], "/home/u/screenshot_00001.png");

    window->OnSysCommand(CmdClearHistory, 1);
    EXPECT_EQ(menuLines(), kTail);
}

TEST_F(TrayWindow, MenuChecksTheDestinationAndShowsTheHotkey)
{
    Settings.destination = 3;
    Settings.hotkey = 112;
    Settings.hotkeyMod = 2 | 8;
    auto lines = menuLines();
    EXPECT_EQ(lines[0], "&Захватить экран!\tCtrl+Win+F1");
    EXPECT_EQ(lines[3], "Посылать картинку на веб");
    EXPECT_EQ(lines[4], "Посылать картинку в буфер обмена");
    EXPECT_EQ(lines[5], "Посылать картинку в файл");
    Settings.destination = 2;
    EXPECT_EQ(menuLines()[5], "*Посылать картинку в файл");
    std::unique_ptr<QMenu> m(window->BuildTrayMenu());
    ASSERT_TRUE(m->defaultAction());
    EXPECT_EQ(m->defaultAction()->data().toInt(), CmdCapture);
}

TEST_F(TrayWindow, DestinationsAreOneRadioGroupAndNothingElseHasAMark)
{
    for (int destination : {0, 1, 2, 3}) {
        Settings.destination = destination;
        std::unique_ptr<QMenu> m(window->BuildTrayMenu());
        QActionGroup* group = nullptr;
        int checkable = 0, checked = 0;
        for (QAction* a : m->actions()) {
            if (!a->isCheckable()) continue;
            ++checkable;
            checked += a->isChecked() ? 1 : 0;
            ASSERT_TRUE(a->actionGroup());
            if (!group) group = a->actionGroup();
            EXPECT_EQ(a->actionGroup(), group);
        }
        EXPECT_EQ(checkable, 3);
        EXPECT_EQ(checked, destination < 3 ? 1 : 0);
        ASSERT_TRUE(group);
        EXPECT_TRUE(group->isExclusive());
    }
}

TEST_F(TrayWindow, SettingsCommandsChangeAndSaveAtOnce)
{
    struct Case
    {
        int command;
        const char* stored;
    };
    const Case cases[] = {
        {CmdSendToFile, "\"Destination\"=\"2\""},  {CmdSendToClipboard, "\"Destination\"=\"1\""},
        {CmdSendToWeb, "\"Destination\"=\"0\""},   {CmdSoundsOff, "\"Sounds\"=\"0\""},
        {CmdSoundsOn, "\"Sounds\"=\"1\""},         {CmdToggleAnnotate, "\"Annotate\"=\"1\""},
        {CmdToggleAnnotate, "\"Annotate\"=\"0\""},
    };
    for (const Case& c : cases) {
        window->OnSysCommand(c.command, 1);
        EXPECT_TRUE(store().contains(c.stored)) << c.command << " " << c.stored;
    }
    Settings.autorun = true;
    window->OnSysCommand(CmdAutorunOff, 0);
    EXPECT_FALSE(Settings.autorun);
    EXPECT_FALSE(QFile::exists(platform::AutostartFilePath()));
}

TEST_F(TrayWindow, HistoryCommandsOpenEntriesAndIgnoreWhatIsNotThere)
{
    add("http://h/db/a.htp");
    EXPECT_TRUE(opened.empty()); // immediatelyOpen is off
    Settings.immediatelyOpen = true;
    add("/tmp/screenshot_00002.png");
    EXPECT_EQ(opened, std::vector<QString>{"/tmp/screenshot_00002.png"});
    window->OnSysCommand(CmdHistoryFirst + 0, 1);
    EXPECT_EQ(opened.back(), "http://h/db/a.htp");
    window->OnSysCommand(CmdHistoryFirst + 2, 1); // beyond the history
    window->OnSysCommand(CmdHistoryFirst + 5000, 1);
    EXPECT_EQ(opened.size(), 2u);
    Settings.immediatelyOpen = false;
    add("");
    window->OnSysCommand(CmdHistoryFirst + 2, 1); // an empty entry opens nothing
    EXPECT_EQ(opened.size(), 2u);
    window->OnSysCommand(CmdVisitSite, 1);
    EXPECT_EQ(opened.back(), "http://localhost:8931");
}

TEST_F(TrayWindow, CaptureRunsWithTheCurrentDestination)
{
    Settings.destination = 2;
    window->OnSysCommand(CmdCapture, 0);
    Settings.destination = 7;
    window->OnSysCommand(CmdCapture, 1);
    EXPECT_EQ(captures, (std::vector<std::int32_t>{2, 7}));
    window->OnSysCommand(1234, 0); // unknown numbers below the frame's are ignored
    EXPECT_EQ(captures.size(), 2u);
}

TEST_F(TrayWindow, RefreshFollowsTheUploadCounter)
{
    UploadsInProgress = 2;
    window->OnSysCommand(CmdRefreshIcon, 0);
    EXPECT_EQ(shell->calls.back(), "modify");
    EXPECT_EQ(shell->last.tip, "Посылаю картинку...");
    UploadsInProgress = 1;
    window->OnSysCommand(CmdRefreshIcon, 0);
    EXPECT_EQ(shell->last.tip, "Посылаю картинку...");
    UploadsInProgress = 0;
    window->OnSysCommand(CmdRefreshIcon, 0);
    EXPECT_EQ(shell->last.tip, "Tarvo, где ваш экран идёт сразу на sweb");
}

TEST_F(TrayWindow, CloseAndMinimiseHideExitRemovesTheIconOnce)
{
    window->show();
    window->OnSysCommand(SC_CLOSE, 0);
    EXPECT_FALSE(window->isVisible());
    window->show();
    window->OnSysCommand(SC_MINIMIZE, 0);
    EXPECT_FALSE(window->isVisible());
    shell->calls.clear();
    window->OnSysCommand(CmdExit, 1);
    EXPECT_TRUE(window->isDestroyed());
    EXPECT_EQ(shell->calls, std::vector<std::string>{"delete"});
    window->OnSysCommand(CmdCapture, 0); // a destroyed window does nothing more
    EXPECT_TRUE(captures.empty());
}

TEST_F(TrayWindow, TitleRequestRoundTripThroughTheAnnotationDialog)
{
    QString title;
    TitleRequest request{2, &title};
    test::OnNextModal<CTitleDlg>([](CTitleDlg* d) {
        d->findChild<QLineEdit*>("id1002")->setText("Мой снимок");
        d->findChild<QPushButton*>("id1")->click();
    });
    window->OnSysCommand(CmdAskTitle, reinterpret_cast<qintptr>(&request));
    EXPECT_EQ(request.result, 1);
    EXPECT_EQ(title, "Мой снимок");

    TitleRequest cancelled{2, &title};
    test::OnNextModal<CTitleDlg>([](CTitleDlg* d) {
        d->findChild<QLineEdit*>("id1002")->setText("dropped");
        d->findChild<QPushButton*>("id2")->click();
    });
    window->OnSysCommand(CmdAskTitle, reinterpret_cast<qintptr>(&cancelled));
    EXPECT_EQ(cancelled.result, 2);
    EXPECT_EQ(title, "Мой снимок");
    window->OnSysCommand(CmdAskTitle, 0); // no request: nothing happens
}

TEST(TrayDialogBase, RoutesOnlyItsIconsPressesAndDestroyRemovesOnlyAVisibleIcon)
{
    struct Probe : CTrayDialog
    {
        using CTrayDialog::CTrayDialog;
        std::vector<std::string> seen;
        void OnTrayRightClick(QPoint) override { seen.push_back("right"); }
        void OnTrayDoubleClick(QPoint) override { seen.push_back("double"); }
        void OnTrayRightDoubleClick(QPoint) override { seen.push_back("rdouble"); }
        void OnTrayHover(QPoint) override { seen.push_back("hover"); }
    };
    auto log = std::make_shared<ShellLog>();
    Probe p(nullptr, std::make_unique<FakeShell>(log));
    p.OnTrayNotification(2, CTrayDialog::WM_RBUTTONDOWN);
    p.OnTrayNotification(1, CTrayDialog::WM_LBUTTONUP);
    p.OnTrayNotification(1, CTrayDialog::WM_RBUTTONUP);
    EXPECT_TRUE(p.seen.empty());
    p.OnTrayNotification(1, CTrayDialog::WM_RBUTTONDOWN);
    p.OnTrayNotification(1, CTrayDialog::WM_CONTEXTMENU);
    p.OnTrayNotification(1, CTrayDialog::WM_LBUTTONDBLCLK);
    p.OnTrayNotification(1, CTrayDialog::WM_RBUTTONDBLCLK);
    p.OnTrayNotification(1, CTrayDialog::WM_MOUSEMOVE);
    EXPECT_EQ(p.seen, (std::vector<std::string>{"right", "right", "double", "rdouble", "hover"}));

    p.DestroyTray(); // not visible: nothing to remove
    EXPECT_TRUE(log->calls.empty());
    // Minimising puts the icon in the tray and hides; again while it is there does nothing.
    p.show();
    p.OnSysCommandBase(0xF020);
    EXPECT_TRUE(p.TrayIsVisible());
    EXPECT_FALSE(p.isVisible());
    p.show();
    p.OnSysCommandBase(0xF020);
    EXPECT_TRUE(p.isVisible());
    EXPECT_EQ(log->calls, std::vector<std::string>{"add"});
    p.DestroyTray();
    EXPECT_EQ(log->calls.back(), "delete");
}

TEST(TrayDialogBase, AFailedAddLeavesTheIconOutUntilTheTrayAppears)
{
    auto log = std::make_shared<ShellLog>();
    log->addSucceeds = false;
    CTrayDialog d(nullptr, std::make_unique<FakeShell>(log));
    d.TraySetToolTip(QString(300, 'x'));
    EXPECT_EQ(d.iconRecord().tip.size(), 127);
    EXPECT_FALSE(d.TrayShow());
    EXPECT_FALSE(d.TrayUpdate()); // no modify while it is not in the tray
    EXPECT_EQ(log->calls, std::vector<std::string>{"add"});
    log->addSucceeds = true;
    Q_EMIT d.taskbarCreated();
    EXPECT_TRUE(d.TrayIsVisible());
}

} // namespace
} // namespace tarvo
