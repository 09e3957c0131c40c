// The tray and the capture shortcut in a Wayland session (headless sway, the program a native
// Wayland client): a stand-in tray host and portal on the session's own bus, there before the
// program starts, make the calls a host and a desktop make. And a session with no tray host at
// all, where the program says so once and stays reachable.
#include "support/fake_portal.h"
#include "support/fake_sni.h"
#include "support/http_server.h"
#include "support/notifications.h"
#include "wayland/harness.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tarvo::test {
namespace {

bool HaveTools()
{
    for (const char* tool : {"sway", "grim", "wtype"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) return false;
    return true;
}

struct Windows
{
    int overlays = 0; // fullscreen, one per output during a capture
    int others = 0;   // anything else the program maps, covered or not: the tray menu
    int floating = 0; // of those, the ones floating rather than tiled over the output
};

// The program's windows in sway's tree, told apart by the process that made them.
void CountWindows(const QJsonObject& node, int pid, Windows* out)
{
    const QString type = node.value("type").toString();
    if ((type == "con" || type == "floating_con") && node.value("pid").toInt() == pid) {
        // A window under a fullscreen one is not "visible" to sway, but it is still there.
        if (node.value("fullscreen_mode").toInt() != 1) {
            ++out->others;
            if (type == "floating_con") ++out->floating;
        } else if (node.value("visible").toBool())
            ++out->overlays;
    }
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue child : node.value(key).toArray())
            CountWindows(child.toObject(), pid, out);
}

class WaylandTray : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HaveTools()) GTEST_SKIP() << "sway, grim or wtype is not installed";
        d = std::make_unique<WaylandDesktop>();
        ASSERT_TRUE(d->ok()) << d->error();
        bus = QString::fromStdString(d->busAddress());
    }

    // Tarvo in the session with these stored settings; up once it listens for later starts.
    void startTarvo(const std::vector<std::pair<std::string, std::string>>& settings)
    {
        const QString dir = d->home() + "/.config/tarvo";
        d->run({"mkdir", "-p", dir.toStdString(), (d->home() + "/shots").toStdString()});
        QFile f(dir + "/tarvo.reg");
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Tarvo]\n");
        f.write(QStringLiteral("\"Target Folder\"=\"%1/shots\"\n").arg(d->home()).toUtf8());
        for (const auto& [name, value] : settings)
            f.write(QStringLiteral("\"%1\"=\"%2\"\n")
                        .arg(QString::fromStdString(name), QString::fromStdString(value))
                        .toUtf8());
        f.close();
        // The session's user writes it back when the destination changes.
        struct stat home
        {
        };
        ASSERT_EQ(::stat(QFile::encodeName(d->home()).constData(), &home), 0);
        ASSERT_EQ(::chown(QFile::encodeName(f.fileName()).constData(), home.st_uid, home.st_gid),
                  0);
        env = d->qtWaylandEnv();
        env["TARVO_LOG"] = "1";
        env["no_proxy"] = "127.0.0.1";
        tarvo = d->start({d->executable(TARVO_BINARY)}, env, "tarvo.out");
        ASSERT_TRUE(WaitUntil(
            [&] {
                return !QDir(d->runtimeDir())
                            .entryList({"*.socket"}, QDir::System | QDir::Files)
                            .isEmpty();
            },
            20s))
            << details();
    }
    // The watcher first, then the program, then its item.
    void startWithTray(const std::vector<std::pair<std::string, std::string>>& settings = {})
    {
        host = std::make_unique<FakeTrayHost>(bus);
        ASSERT_TRUE(host->ok());
        ASSERT_NO_FATAL_FAILURE(startTarvo(settings));
        item = host->waitForItem();
        ASSERT_TRUE(item.has_value()) << "no item registered\n" << details();
    }

    QString log() const
    {
        QFile f(d->home() + "/.local/state/tarvo/TarvoTray.log");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    bool waitForLog(const QString& text, std::chrono::milliseconds timeout = 10s)
    {
        return WaitUntil([&] { return log().contains(text); }, timeout);
    }
    std::string details() const
    {
        return "log:\n" + log().toStdString() + "\nstderr:\n" +
               d->readLog("tarvo.out").toStdString();
    }
    QByteArray store() const
    {
        QFile f(d->home() + "/.config/tarvo/tarvo.reg");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    Windows windows()
    {
        Windows w;
        const auto tree =
            QJsonDocument::fromJson(QByteArray::fromStdString(d->swaymsg({"-t", "get_tree"})));
        CountWindows(tree.object(), tarvo->pid(), &w);
        return w;
    }
    bool waitForWindows(int overlays, int others, std::chrono::milliseconds timeout = 10s)
    {
        return WaitUntil(
            [&] {
                const Windows w = windows();
                return w.overlays == overlays && w.others == others;
            },
            timeout, 100ms);
    }
    std::string windowText()
    {
        const Windows w = windows();
        return std::to_string(w.overlays) + " overlay and " + std::to_string(w.others) +
               " other windows\n" + details();
    }

    // The label of the exported menu's capture item: the text and the key after a tab.
    QString captureLabel()
    {
        const auto menu = host->menu(*item);
        const MenuEntry* capture = menu ? menu->find("Захватить экран") : nullptr;
        return capture ? capture->label() : QString();
    }

    // Escape ends the capture the overlay runs.
    void cancelCapture()
    {
        const qsizetype before = log().count("Request cancelled");
        ASSERT_TRUE(d->type({"-k", "Escape"}));
        EXPECT_TRUE(WaitUntil([&] { return log().count("Request cancelled") > before; }, 10s))
            << details();
        EXPECT_TRUE(waitForWindows(0, 0, 5s)) << windowText();
    }

    std::unique_ptr<WaylandDesktop> d;
    QString bus;
    std::unique_ptr<FakeTrayHost> host;
    std::optional<SniItem> item;
    std::map<std::string, std::string> env;
    std::unique_ptr<Child> tarvo;
};

TEST_F(WaylandTray, TheItemIsRegisteredAndNoMissingTrayIsReported)
{
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    EXPECT_EQ(host->property(*item, "Menu").value<QDBusObjectPath>().path().toStdString(),
              "/MenuBar");
    ASSERT_TRUE(waitForLog("Tray icon: a StatusNotifierItem")) << details();
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(log().contains("No system tray")) << details();
    EXPECT_TRUE(tarvo->running());
}

TEST_F(WaylandTray, ActivateOpensOneMenuAndMoreActivationsNeverStackAnother)
{
    ASSERT_NO_FATAL_FAILURE(startWithTray());
    ASSERT_TRUE(host->call(*item, "Activate"));
    ASSERT_TRUE(waitForWindows(0, 1)) << "no menu: " << windowText();
    // A menu, not a tiled window filling the output.
    EXPECT_EQ(windows().floating, 1) << windowText();
    // Two quick clicks, then one more while the menu is up.
    ASSERT_TRUE(host->call(*item, "Activate"));
    ASSERT_TRUE(host->call(*item, "Activate"));
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(host->call(*item, "Activate"));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(windows().others, 1) << windowText();
    ASSERT_TRUE(d->type({"-k", "Escape"}));
    ASSERT_TRUE(waitForWindows(0, 0)) << "the menu stayed: " << windowText();
    // Closed, it opens again, and only once.
    ASSERT_TRUE(host->call(*item, "Activate"));
    EXPECT_TRUE(waitForWindows(0, 1)) << windowText();
    ASSERT_TRUE(d->type({"-k", "Escape"}));
    EXPECT_TRUE(waitForWindows(0, 0)) << windowText();
    EXPECT_TRUE(tarvo->running());
}

struct SecondaryCase
{
    const char* name;
    bool menuOpen; // the menu is up when the middle click comes
};

// Test names in the runner's listing, instead of the parameter's bytes.
void PrintTo(const SecondaryCase& c, std::ostream* os)
{
    *os << c.name;
}

class SecondaryActivate : public WaylandTray, public ::testing::WithParamInterface<SecondaryCase>
{
};

TEST_P(SecondaryActivate, CapturesOnTheOverlayAndEscapeCancels)
{
    ASSERT_NO_FATAL_FAILURE(startWithTray({{"Destination", "2"}}));
    if (GetParam().menuOpen) {
        ASSERT_TRUE(host->call(*item, "Activate"));
        ASSERT_TRUE(waitForWindows(0, 1)) << "no menu: " << windowText();
    }
    ASSERT_TRUE(host->call(*item, "SecondaryActivate"));
    // The menu goes first: the overlay stands alone.
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    EXPECT_TRUE(log().contains("Capturing screen")) << details();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());
    EXPECT_TRUE(QDir(d->home() + "/shots").entryList(QDir::Files).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Tray, SecondaryActivate,
                         ::testing::Values(SecondaryCase{"menuClosed", false},
                                           SecondaryCase{"menuOpen", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WaylandTray, TheExportedMenuSwitchesTheDestination)
{
    ASSERT_NO_FATAL_FAILURE(startWithTray({{"Destination", "2"}}));
    const auto menu = host->menu(*item);
    ASSERT_TRUE(menu.has_value());
    const MenuEntry* file = menu->find("в файл");
    const MenuEntry* clipboard = menu->find("в буфер обмена");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(clipboard, nullptr);
    EXPECT_EQ(file->properties.value("toggle-state").toInt(), 1);
    EXPECT_EQ(clipboard->properties.value("toggle-state").toInt(), 0);

    ASSERT_TRUE(host->click(*item, clipboard->id));
    ASSERT_TRUE(WaitUntil([&] { return store().contains("\"Destination\"=\"1\""); }, 10s))
        << store().toStdString() << details();
    // The host's copy follows: the mark moved, and only one entry has it.
    const auto marks = [&] {
        const auto now = host->menu(*item);
        const MenuEntry* c = now ? now->find("в буфер обмена") : nullptr;
        const MenuEntry* f = now ? now->find("в файл") : nullptr;
        return c && f ? std::pair(c->properties.value("toggle-state").toInt(),
                                  f->properties.value("toggle-state").toInt())
                      : std::pair(-1, -1);
    };
    EXPECT_TRUE(WaitUntil([&] { return marks() == std::pair(1, 0); }, 10s))
        << marks().first << " " << marks().second;
    // A click in the exported menu opens no window of the program's own.
    EXPECT_EQ(windows().others, 0) << windowText();
    // The entries kept their ids: a host that has not read the menu again since still clicks
    // the entry it shows.
    ASSERT_TRUE(host->click(*item, file->id));
    EXPECT_TRUE(WaitUntil([&] { return store().contains("\"Destination\"=\"2\""); }, 10s))
        << store().toStdString() << details();
    EXPECT_TRUE(WaitUntil([&] { return marks() == std::pair(0, 1); }, 10s))
        << marks().first << " " << marks().second;
}

TEST_F(WaylandTray, TheExportedMenusCaptureAndExitItemsWork)
{
    ASSERT_NO_FATAL_FAILURE(startWithTray({{"Destination", "2"}}));
    const auto menu = host->menu(*item);
    ASSERT_TRUE(menu.has_value());
    const MenuEntry* capture = menu->find("Захватить экран");
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(host->click(*item, capture->id));
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());

    // The exit item ends the program cleanly, its Wayland connection and all. The menu is
    // built anew after every command, so its entries are read again, as a host does.
    const auto now = host->menu(*item);
    ASSERT_TRUE(now.has_value());
    const MenuEntry* exit = now->find("Выход");
    ASSERT_NE(exit, nullptr);
    ASSERT_TRUE(host->click(*item, exit->id));
    EXPECT_EQ(tarvo->wait(15s), std::optional<int>(0)) << details();
    const QString out = d->readLog("tarvo.out");
    EXPECT_FALSE(out.contains("Sanitizer")) << out.toStdString();
    EXPECT_FALSE(out.contains("runtime error")) << out.toStdString();
}

TEST_F(WaylandTray, ThePortalBindsTheStoredKeyAndActivatedCaptures)
{
    FakePortal portal(bus);
    ASSERT_TRUE(portal.ok());
    // Ctrl+Shift+Print Screen.
    ASSERT_NO_FATAL_FAILURE(
        startWithTray({{"Hotkey", "44"}, {"HotkeyMod", "6"}, {"Destination", "2"}}));
    ASSERT_TRUE(portal.waitForBind()) << details();
    const auto rec = portal.record();
    ASSERT_EQ(rec.bound.size(), 1);
    EXPECT_EQ(rec.bound[0].id.toStdString(), "capture");
    EXPECT_EQ(rec.bound[0].properties.value("preferred_trigger").toString().toStdString(),
              "CTRL+SHIFT+Print");
    EXPECT_EQ(rec.bindSession, rec.sessionPath);
    ASSERT_TRUE(waitForLog("Global shortcut bound by the desktop: CTRL+SHIFT+Print")) << details();
    // The menu names the key the desktop bound.
    EXPECT_TRUE(WaitUntil([&] { return captureLabel().endsWith("\tCTRL+SHIFT+Print"); }, 5s))
        << captureLabel().toStdString();

    portal.activate("capture");
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());

    // The user gives it another key in the desktop's settings: the menu follows, and the
    // shortcut still captures.
    portal.changeTrigger("capture", "LOGO+P");
    EXPECT_TRUE(WaitUntil([&] { return captureLabel().endsWith("\tLOGO+P"); }, 5s))
        << captureLabel().toStdString();
    portal.activate("capture");
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());
}

TEST_F(WaylandTray, WithoutGlobalShortcutsTheLogSaysHowToBindOneAndNoKeyIsShown)
{
    const struct
    {
        const char* name;
        bool portal; // a portal without global shortcuts, as Debian 12's; otherwise none
    } cases[] = {{"no portal", false}, {"a portal without global shortcuts", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case a fresh start in the same session.
        tarvo.reset();
        host.reset();
        QFile::remove(d->home() + "/.local/state/tarvo/TarvoTray.log");
        std::unique_ptr<FakePortal> portal;
        if (c.portal) {
            portal = std::make_unique<FakePortal>(bus, false);
            ASSERT_TRUE(portal->ok());
        }
        ASSERT_NO_FATAL_FAILURE(startWithTray({{"Hotkey", "44"}, {"HotkeyMod", "0"}}));
        ASSERT_TRUE(waitForLog("No global shortcut: ")) << details();
        EXPECT_TRUE(
            log().contains("Bind a key in the desktop's settings to the command tarvo --capture"))
            << details();
        EXPECT_FALSE(log().contains("Global shortcut bound")) << details();
        // No key after the capture item: none is bound.
        const QString label = captureLabel();
        EXPECT_TRUE(label.startsWith("_Захватить экран!")) << label.toStdString();
        EXPECT_FALSE(label.contains('\t')) << label.toStdString();
        EXPECT_TRUE(tarvo->running());
    }
}

TEST_F(WaylandTray, TheBusyIconShowsWhileAnUploadRuns)
{
    HttpServer server;
    server.setReply(Reply(200, "OK", 3s));
    ASSERT_NO_FATAL_FAILURE(
        startWithTray({{"Destination", "0"}, {"Service URL", server.baseUrl().toStdString()}}));
    const QByteArray idle = host->iconPixels(*item);
    ASSERT_FALSE(idle.isEmpty());
    int rc = -1;
    d->run({d->executable(TARVO_BINARY), "--capture", "web"}, &rc, 20s, env);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    // The virtual pointer is a new device: a moment for the program to take it, then the drag.
    ASSERT_TRUE(d->pointer({"move", "100",  "100",  "wait",  "400",     "move", "100",
                            "100",  "wait", "50",   "press", "wait",    "50",   "move",
                            "200",  "160",  "wait", "50",    "release", "wait", "100"}));
    ASSERT_TRUE(WaitUntil([&] { return host->iconPixels(*item) != idle; }, 10s))
        << "the icon did not change during the upload\n"
        << details();
    ASSERT_TRUE(waitForLog(": Posted to URL", 20s)) << details();
    EXPECT_TRUE(WaitUntil([&] { return host->iconPixels(*item) == idle; }, 10s))
        << "the idle icon did not come back";
}

// No watcher and no XEmbed tray (a Wayland session has none): said in the log and once to the
// user, and the program stays reachable through `tarvo --capture` and the desktop's shortcut.
TEST_F(WaylandTray, WithoutAnyTrayHostTheUserIsToldOnceAndCapturesStillWork)
{
    PrivateNotificationBus notices(bus);
    ASSERT_TRUE(notices.ok());
    FakePortal portal(bus);
    ASSERT_TRUE(portal.ok());
    ASSERT_NO_FATAL_FAILURE(startTarvo({{"Destination", "2"}}));
    ASSERT_TRUE(waitForLog("No system tray: the icon is not shown")) << details();
    QStringList shown = notices.shown(1);
    ASSERT_EQ(shown.size(), 1) << details();
    EXPECT_TRUE(shown[0].contains("tarvo --capture")) << shown[0].toStdString();
    EXPECT_TRUE(tarvo->running());

    int rc = -1;
    d->run({d->executable(TARVO_BINARY), "--capture", "file"}, &rc, 20s, env);
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());

    ASSERT_TRUE(portal.waitForBind()) << details();
    portal.activate("capture");
    ASSERT_TRUE(waitForWindows(1, 0)) << windowText();
    ASSERT_NO_FATAL_FAILURE(cancelCapture());

    // Said once for the life of the program, however many captures follow.
    shown = notices.shown(2, 1000);
    EXPECT_EQ(shown.size(), 1) << shown.join('\n').toStdString();
    EXPECT_EQ(log().count("No system tray"), 1) << details();
}

} // namespace
} // namespace tarvo::test
