#include "platform/paths.h"
#include "platform/registry.h"
#include "settings/service.h"
#include "settings/settings.h"
#include "support/temp_env.h"
#include "tarvo_version.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace tarvo {
namespace {

using test::TempHome;

class SettingsStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Settings = SettingsRecord{};
        TempHome::write(home.config() + "/user-dirs.dirs",
                        "# written by xdg-user-dirs-update\nXDG_PICTURES_DIR=\"$HOME/Картинки\"\n");
    }
    void store(const QByteArray& values)
    {
        TempHome::write(home.storeFile(), "Windows Registry Editor Version 5.00\n\n"
                                          "[HKEY_CURRENT_USER\\Software\\Tarvo]\n" +
                                              values);
    }
    QString pictures() const { return home.path() + "/home/Картинки"; }

    TempHome home;
};

TEST_F(SettingsStore, DefaultsWhenNothingIsStoredAndNothingIsWrittenBack)
{
    LoadSettings();
    EXPECT_FALSE(Settings.autorun);
    EXPECT_TRUE(Settings.sounds);
    EXPECT_FALSE(Settings.immediatelyOpen);
    EXPECT_EQ(Settings.destination, 0);
    EXPECT_FALSE(Settings.annotate);
    EXPECT_EQ(Settings.hotkey, 44);
    EXPECT_EQ(Settings.hotkeyMod, 0);
    EXPECT_EQ(Settings.imageFormat, "image/png");
    EXPECT_EQ(Settings.targetFolder, pictures());
    EXPECT_FALSE(QFile::exists(home.storeFile()));
}

TEST_F(SettingsStore, StoredTextsAreReadByTheFlagAndNumberRules)
{
    struct Case
    {
        QByteArray values;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"\"Hotkey\"=\"\"\n", [] { EXPECT_EQ(Settings.hotkey, 44); }},
        {"\"Hotkey\"=\"abc\"\n", [] { EXPECT_EQ(Settings.hotkey, 0); }},
        {"\"Hotkey\"=\"  -12x\"\n", [] { EXPECT_EQ(Settings.hotkey, -12); }},
        {"\"HotkeyMod\"=\"99999999999\"\n", [] { EXPECT_EQ(Settings.hotkeyMod, 2147483647); }},
        {"\"HotkeyMod\"=\"-99999999999\"\n",
         [] { EXPECT_EQ(Settings.hotkeyMod, -2147483647 - 1); }},
        {"\"Sounds\"=\"\"\n", [] { EXPECT_TRUE(Settings.sounds); }},
        {"\"Sounds\"=\"0\"\n", [] { EXPECT_FALSE(Settings.sounds); }},
        {"\"Sounds\"=\"00\"\n", [] { EXPECT_TRUE(Settings.sounds); }},
        {"\"Annotate\"=\"false\"\n", [] { EXPECT_TRUE(Settings.annotate); }},
        {"\"Destination\"=\"7\"\n", [] { EXPECT_EQ(Settings.destination, 7); }},
        {"\"Sounds\"=dword:00000000\n",
         [] { EXPECT_TRUE(Settings.sounds); }}, // wrong type: default
        {"\"Image Format\"=\"image/webp\"\n",
         [] { EXPECT_EQ(Settings.imageFormat, "image/webp"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.values.toStdString());
        store(c.values);
        LoadSettings();
        c.check();
    }
}

TEST_F(SettingsStore, TargetFolderOfAnotherTypeFallsBackToThePicturesFolder)
{
    store("\"Target Folder\"=dword:00000001\n");
    LoadSettings();
    EXPECT_EQ(Settings.targetFolder, pictures());
}

TEST_F(SettingsStore, ExpandableTargetFolderIsExpandedAndWrittenBackAsPlainText)
{
    home.env().set("TARVO_TEST_DIR", "/srv/shots");
    const QString raw = "%TARVO_TEST_DIR%/a";
    QByteArray hex;
    for (QChar c : raw + QChar(0)) {
        hex += QByteArray::number(c.unicode() & 0xff, 16).rightJustified(2, '0') + ",";
        hex += QByteArray::number(c.unicode() >> 8, 16).rightJustified(2, '0') + ",";
    }
    hex.chop(1);
    store("\"Target Folder\"=hex(2):" + hex + "\n");
    LoadSettings();
    EXPECT_EQ(Settings.targetFolder, "/srv/shots/a");
    SaveSettings();
    EXPECT_TRUE(TempHome::read(home.storeFile()).contains("\"Target Folder\"=\"/srv/shots/a\"\n"));
}

TEST_F(SettingsStore, SaveWritesEveryValueAsTextInOrder)
{
    LoadSettings();
    Settings.destination = 7;
    Settings.hotkeyMod = 6;
    Settings.targetFolder = "/tmp/Снимки";
    SaveSettings();
    EXPECT_EQ(QString::fromUtf8(TempHome::read(home.storeFile())),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
              "\"Sounds\"=\"1\"\n"
              "\"ImmediatelyOpen\"=\"0\"\n"
              "\"Destination\"=\"7\"\n"
              "\"Annotate\"=\"0\"\n"
              "\"Hotkey\"=\"44\"\n"
              "\"HotkeyMod\"=\"6\"\n"
              "\"Target Folder\"=\"/tmp/Снимки\"\n"
              "\"Image Format\"=\"image/png\"\n");
    SettingsRecord saved = Settings;
    Settings = SettingsRecord{};
    LoadSettings();
    EXPECT_EQ(Settings.destination, 7);
    EXPECT_EQ(Settings.hotkeyMod, 6);
    EXPECT_EQ(Settings.targetFolder, saved.targetFolder);
}

// Each field of the table, stored with a value unlike its default, is loaded into the record
// and saved back exactly as it was stored, in the table's order.
TEST_F(SettingsStore, EveryFieldComesBackFromALoadAndASaveAsStored)
{
    QString lines;
    int n = 0;
    for (const SettingsField& f : kSettingsFields) {
        QString text;
        if (std::holds_alternative<QString SettingsRecord::*>(f.member))
            text = "/x/" + f.storeName.toString();
        else if (std::holds_alternative<std::int32_t SettingsRecord::*>(f.member))
            text = QString::number(100 + n++);
        else
            text = f.defaultText == u"1" ? "0" : "1";
        lines += "\"" + f.storeName.toString() + "\"=\"" + text + "\"\n";
    }
    store(lines.toUtf8());
    LoadSettings();
    ASSERT_TRUE(QFile::remove(home.storeFile())); // what the save writes comes from the record
    SaveSettings();
    EXPECT_EQ(QString::fromUtf8(TempHome::read(home.storeFile())),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Tarvo]\n" +
                  lines);
}

TEST_F(SettingsStore, AutorunIsTheAutostartEntry)
{
    const QString entry = platform::AutostartFilePath();
    LoadSettings();
    Settings.autorun = false;
    SaveSettings(); // nothing to delete: no failure
    EXPECT_FALSE(QFile::exists(entry));

    // Another program's entry reads as autorun; the next save puts our own path in it.
    TempHome::write(entry, "[Desktop Entry]\nType=Application\nExec=\"/opt/old copy/tarvo\"\n");
    LoadSettings();
    EXPECT_TRUE(Settings.autorun);
    EXPECT_EQ(ReadRegistryText(platform::HKey::CurrentUser, kRunKey, u"Tarvo"),
              "/opt/old copy/tarvo");
    SaveSettings();
    EXPECT_EQ(ReadRegistryText(platform::HKey::CurrentUser, kRunKey, u"Tarvo"),
              platform::ModuleFileName());
    const QString written = QString::fromUtf8(TempHome::read(entry));
    EXPECT_TRUE(written.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(written.contains("\nType=Application\n"));

    Settings.autorun = false;
    SaveSettings();
    EXPECT_FALSE(QFile::exists(entry));
    EXPECT_TRUE(QFile::exists(home.config() + "/autostart")); // only the file goes
}

// What a login session reads: a valid entry that starts this very program, and nothing left
// once autorun is off, also of an entry an earlier version wrote under the old name.
TEST_F(SettingsStore, AutostartEntryIsValidForTheSessionAndGoesAwayWithTheOldName)
{
    const QString legacy = home.config() + "/autostart/tarvo.desktop";
    TempHome::write(legacy, "[Desktop Entry]\nType=Application\nExec=/usr/bin/tarvo\n");
    LoadSettings();
    EXPECT_TRUE(Settings.autorun);
    EXPECT_TRUE(platform::AutostartFilePath().endsWith("/autostart/" TARVO_APP_ID ".desktop"));

    SaveSettings();
    EXPECT_FALSE(QFile::exists(legacy)); // one entry, or the session starts two copies
    const QString written = QString::fromUtf8(TempHome::read(platform::AutostartFilePath()));
    EXPECT_TRUE(written.contains("\nExec=" + platform::ModuleFileName() + "\n"))
        << written.toStdString();
    EXPECT_TRUE(written.contains("\nX-GNOME-Autostart-enabled=true\n"));
    EXPECT_TRUE(written.contains("\nIcon=" TARVO_APP_ID "\n"));
    if (QStandardPaths::findExecutable("desktop-file-validate").isEmpty()) {
        ADD_FAILURE() << "desktop-file-validate missing (scripts/deps.sh --tests installs it)";
    } else {
        QProcess v;
        v.setProcessChannelMode(QProcess::MergedChannels);
        v.start("desktop-file-validate", {platform::AutostartFilePath()});
        ASSERT_TRUE(v.waitForFinished(30000));
        EXPECT_EQ(v.exitCode(), 0);
        EXPECT_EQ(v.readAll(), "");
    }

    TempHome::write(legacy, "[Desktop Entry]\nType=Application\nExec=/usr/bin/tarvo\n");
    Settings.autorun = false;
    SaveSettings();
    EXPECT_FALSE(QFile::exists(platform::AutostartFilePath()));
    EXPECT_FALSE(QFile::exists(legacy));
    LoadSettings();
    EXPECT_FALSE(Settings.autorun);
}

TEST_F(SettingsStore, AutostartEntrySwitchedOffByTheDesktopDoesNotCount)
{
    TempHome::write(platform::AutostartFilePath(),
                    "[Desktop Entry]\nExec=/usr/bin/tarvo\nHidden=true\n");
    LoadSettings();
    EXPECT_FALSE(Settings.autorun);
}

TEST(ExecQuoting, PathsSurviveTheDesktopEntryRoundTrip)
{
    for (const QString& path : {QString("/usr/bin/tarvo"), QString("/opt/My Apps/tarvo"),
                                QString("/tmp/$(rm -rf ~)/\"q\"/100%/`x`\\y")}) {
        const QString quoted = platform::QuoteExecArgument(path);
        EXPECT_EQ(platform::UnquoteExecValue(quoted), path) << quoted.toStdString();
    }
    EXPECT_EQ(platform::QuoteExecArgument(u"/usr/bin/tarvo"), "/usr/bin/tarvo");
    EXPECT_EQ(platform::QuoteExecArgument(u"/a b"), "\"/a b\"");
    EXPECT_EQ(platform::UnquoteExecValue(u"\"/a b\" --flag"), "\"/a b\" --flag");
}

TEST_F(SettingsStore, AutostartCommandsComeBackExactly)
{
    // Whatever the entry's reader would trim or turn into a break must come back unchanged.
    const QString commands[] = {
        "\v/opt/t\v",
        "\f/opt/t",
        QString(QChar(0xA0)) + "/opt/t" + QChar(0xA0),
        "/opt/t" + QString(QChar(0x2003)),
        " /opt/t ",
        "/opt/t\r",
        "\t/a\\s/%%u\n",
        "/opt/t\x01",
        "/Снимки/tarvo",
    };
    for (const QString& cmd : commands) {
        SCOPED_TRACE(cmd.toStdString());
        ASSERT_TRUE(platform::RegSetValue(platform::HKey::CurrentUser, kRunKey, u"Tarvo",
                                          platform::MakeRegText(cmd)));
        EXPECT_EQ(ReadRegistryText(platform::HKey::CurrentUser, kRunKey, u"Tarvo"), cmd);
    }
}

TEST_F(SettingsStore, UnreadableFileStillCountsAndIsKeptBesideBeforeTheFirstRewrite)
{
    const QByteArray original = "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
                                "\"Destination\"=\"2\"\n"
                                "\"Hotkey\"=dword:zz\n"
                                "\x01\x02 binary junk\n";
    TempHome::write(home.storeFile(), original);
    LoadSettings();
    EXPECT_EQ(Settings.destination, 2);
    EXPECT_EQ(Settings.hotkey, 44);
    SaveSettings();
    EXPECT_EQ(TempHome::read(home.storeFile() + ".bak"), original);
    // A clean file is rewritten without touching the copy again.
    TempHome::write(home.storeFile() + ".bak", "kept");
    SaveSettings();
    EXPECT_EQ(TempHome::read(home.storeFile() + ".bak"), "kept");
}

TEST_F(SettingsStore, ValuesOfOtherKeysAndWritersSurviveASave)
{
    store("\"Extra\"=dword:00000005\n\n[HKEY_CURRENT_USER\\Software\\Tarvo\\Sub]\n\"X\"=\"y\"\n");
    LoadSettings();
    SaveSettings();
    const QByteArray now = TempHome::read(home.storeFile());
    EXPECT_TRUE(now.contains("\"Extra\"=dword:00000005\n"));
    EXPECT_TRUE(now.contains("[HKEY_CURRENT_USER\\Software\\Tarvo\\Sub]\n\"X\"=\"y\"\n"));
}

TEST_F(SettingsStore, ASaveWaitsForAnotherProcessHoldingTheStoreLock)
{
    LoadSettings();
    QDir().mkpath(home.config() + "/tarvo");
    const int fd = ::open(QFile::encodeName(home.config() + "/tarvo/tarvo.reg.lock").constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::atomic<bool> done{false};
    std::thread saver([&] {
        SaveSettings();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(done.load());
    EXPECT_FALSE(QFile::exists(home.storeFile()));
    ::close(fd);
    saver.join();
    EXPECT_TRUE(done.load());
    EXPECT_TRUE(QFile::exists(home.storeFile()));
}

TEST(EnvironmentExpansion, AllThreeReferenceFormsAndUnsetNamesStay)
{
    test::ScopedEnv env;
    env.set("TV_A", "alpha");
    env.unset("TV_UNSET");
    EXPECT_EQ(platform::ExpandEnvironmentStrings(u"%TV_A%/$TV_A/${TV_A}x"), "alpha/alpha/alphax");
    EXPECT_EQ(platform::ExpandEnvironmentStrings(u"%TV_UNSET%/$TV_UNSET/${TV_UNSET}"),
              "%TV_UNSET%/$TV_UNSET/${TV_UNSET}");
    EXPECT_EQ(platform::ExpandEnvironmentStrings(u"100% $ 5$"), "100% $ 5$");
}

} // namespace
} // namespace tarvo

namespace tarvo {
namespace {

TEST(ServiceAddress, StoreValueReplacesTheDefaultAndTheEnvironmentReplacesBoth)
{
    struct Case
    {
        const char* stored; // the store's "Service URL", or none
        const char* env;    // TARVO_SERVICE_URL, or unset
        QString base;
        QString site;
    };
    const QString builtIn = ServiceBaseUrl();
    const Case cases[] = {
        {nullptr, nullptr, builtIn, builtIn.chopped(4)},
        {"https://shots.example.org/db/", nullptr, "https://shots.example.org/db/",
         "https://shots.example.org"},
        {"https://shots.example.org:8443/db", nullptr, "https://shots.example.org:8443/db/",
         "https://shots.example.org:8443"},
        {"", nullptr, builtIn, builtIn.chopped(4)},
        {"https://team.example/db/", "http://127.0.0.1:5000/db/", "http://127.0.0.1:5000/db/",
         "http://127.0.0.1:5000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base.toStdString());
        test::TempHome home;
        if (c.env)
            home.env().set("TARVO_SERVICE_URL", c.env);
        else
            home.env().unset("TARVO_SERVICE_URL");
        QByteArray values = "\"Destination\"=\"0\"\n";
        if (c.stored) values += QByteArray("\"Service URL\"=\"") + c.stored + "\"\n";
        test::TempHome::write(home.storeFile(), "Windows Registry Editor Version 5.00\n\n"
                                                "[HKEY_CURRENT_USER\\Software\\Tarvo]\n" +
                                                    values);
        LoadSettings();
        EXPECT_EQ(ServiceBaseUrl(), c.base);
        EXPECT_EQ(ProductSiteUrl(), c.site);
        // A save keeps the administrator's value as it was and adds none.
        SaveSettings();
        EXPECT_EQ(TempHome::read(home.storeFile()).contains("Service URL"), c.stored != nullptr);
    }
    SetConfiguredServiceUrl(QString());
}

} // namespace
} // namespace tarvo
