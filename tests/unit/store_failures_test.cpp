// What the settings store does when its file cannot be read or written, and what it leaves
// behind. Root reads and writes anything, so the cases that rest on permissions run their file
// access as "nobody" on the test's thread (setfsuid is per thread and drops root's overrides).
#include "net/log.h"
#include "platform/registry.h"
#include "platform/report.h"
#include "platform/services.h"
#include "settings/settings.h"
#include "support/notifications.h"
#include "support/temp_env.h"

#include <QDir>
#include <QFile>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo {
namespace {

using test::TempHome;

constexpr uid_t kNobody = 65534;

// File access as "nobody" while it lives, when the test runs as root.
class AsNobody
{
public:
    AsNobody()
    {
        if (::geteuid() != 0) return;
        ::setfsgid(kNobody);
        ::setfsuid(kNobody);
        active_ = true;
    }
    ~AsNobody()
    {
        if (!active_) return;
        ::setfsuid(0);
        ::setfsgid(0);
    }

private:
    bool active_ = false;
};

mode_t modeOf(const QString& path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class StoreFailures : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bus.ok());
        home.env().set("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
        services.emplace([this](Services& s) {
            s.logClock = [] { return QStringLiteral("T"); };
            s.shownFailures = &shown;
        });
        ASSERT_TRUE(OpenLog(home.path() + "/store.log"));
        Settings = SettingsRecord{};
        // "nobody" must reach the folders.
        for (const QString& d : {home.path(), home.config(), home.path() + "/home"})
            ::chmod(QFile::encodeName(d).constData(), 0755);
    }
    void TearDown() override
    {
        CloseLog();
        services.reset();
        Settings = SettingsRecord{};
    }
    QStringList Log() const
    {
        QStringList out;
        for (const QByteArray& line : TempHome::read(home.path() + "/store.log").split('\n'))
            if (line.startsWith("T: ")) out << QString::fromUtf8(line.mid(3));
        return out;
    }
    QString folder() const { return home.config() + "/tarvo"; }

    test::PrivateNotificationBus bus;
    TempHome home;
    std::set<platform::Failure> shown; // the kinds notified in this test
    std::optional<ScopedServices> services;
};

const QByteArray kUserFile = "Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_CURRENT_USER\\Software\\Tarvo]\n"
                             "\"Destination\"=\"2\"\n"
                             "\"Mine\"=\"written by hand\"\n";

TEST_F(StoreFailures, AStoreThatExistsButCannotBeReadIsNeverWritten)
{
    struct Case
    {
        const char* what;
        std::function<void(const QString& store)> make;
        const char* reason;
    };
    const Case cases[] = {
        {"no read permission",
         [](const QString& store) {
             TempHome::write(store, kUserFile);
             ::chmod(QFile::encodeName(store).constData(), 0);
         },
         "Permission denied"},
        {"a folder in its place", [](const QString& store) { QDir().mkpath(store); },
         "Is a directory"},
        {"a link that loops",
         [](const QString& store) {
             (void)::symlink("tarvo.reg", QFile::encodeName(store).constData());
         },
         "Too many levels of symbolic links"},
        // Writing would replace the link with a file of its own.
        {"a link to nowhere",
         [](const QString& store) {
             (void)::symlink("/nonexistent/tarvo.reg", QFile::encodeName(store).constData());
         },
         "No such file or directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(folder()).removeRecursively();
        QDir().mkpath(folder());
        ::chmod(QFile::encodeName(folder()).constData(), 0777); // "nobody" could replace it
        c.make(home.storeFile());
        shown.clear();
        const qsizetype logBefore = Log().size();
        const int shownBefore = int(bus.shown().size());
        {
            AsNobody nobody;
            LoadSettings();
            EXPECT_EQ(Settings.destination, 0); // defaults, nothing made up
            Settings.destination = 1;
            EXPECT_FALSE(SaveSettings());
            EXPECT_FALSE(SaveSettings());
        }
        if (QFileInfo(home.storeFile()).isFile()) {
            ::chmod(QFile::encodeName(home.storeFile()).constData(), 0600);
            EXPECT_EQ(TempHome::read(home.storeFile()), kUserFile);
        }
        EXPECT_FALSE(QFileInfo::exists(home.storeFile() + ".bak"));
        EXPECT_EQ(QDir(folder()).entryList({".tarvo.reg.*"}, QDir::Hidden | QDir::Files),
                  QStringList());
        const QStringList log = Log().mid(logBefore);
        ASSERT_EQ(log.size(), 3); // the load and both saves
        EXPECT_TRUE(
            log[0].startsWith("Cannot read settings file " + home.storeFile() + ": " + c.reason))
            << log[0].toStdString();
        EXPECT_EQ(log[1], log[0]);
        // Told once, not once per save.
        const QStringList shown = bus.shown(shownBefore + 1).mid(shownBefore);
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].contains(home.storeFile()));
        EXPECT_TRUE(shown[0].contains(c.reason));
    }
}

TEST_F(StoreFailures, AFailedSaveIsReportedOncePerKind)
{
    struct Case
    {
        const char* what;
        std::function<void()> make;
        const char* reason;
    };
    const Case cases[] = {
        {"a file where the folder should be", [&] { TempHome::write(folder(), "not a folder"); },
         "File exists"},
        {"a read-only folder",
         [&] {
             TempHome::write(home.storeFile(), kUserFile);
             TempHome::write(folder() + "/tarvo.reg.lock", "");
             ::chmod(QFile::encodeName(folder()).constData(), 0555);
         },
         "Permission denied"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::chmod(QFile::encodeName(folder()).constData(), 0755);
        QDir(folder()).removeRecursively();
        QFile::remove(folder());
        c.make();
        shown.clear();
        const qsizetype logBefore = Log().size();
        const int shownBefore = int(bus.shown().size());
        {
            AsNobody nobody;
            LoadSettings();
            Settings.destination = 1;
            EXPECT_FALSE(SaveSettings());
            Settings.destination = 2;
            EXPECT_FALSE(SaveSettings());
        }
        const QStringList log = Log().mid(logBefore);
        ASSERT_EQ(log.size(), 2);
        EXPECT_EQ(log[0], "Cannot save settings to " + home.storeFile() + ": " + c.reason);
        EXPECT_EQ(log[1], log[0]);
        const QStringList shown = bus.shown(shownBefore + 1).mid(shownBefore);
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].contains(c.reason)) << shown[0].toStdString();
        ::chmod(QFile::encodeName(folder()).constData(), 0755);
    }
    // The autostart entry is part of the save.
    ::chmod(QFile::encodeName(folder()).constData(), 0755);
    QDir(folder()).removeRecursively();
    QFile::remove(folder());
    TempHome::write(home.config() + "/autostart", "not a folder");
    const qsizetype logBefore = Log().size();
    LoadSettings();
    Settings.autorun = true;
    EXPECT_FALSE(SaveSettings());
    EXPECT_EQ(Log().mid(logBefore), QStringList{"Cannot save the autostart entry " +
                                                platform::AutostartFilePath() + ": File exists"});
    EXPECT_TRUE(TempHome::read(home.storeFile()).contains("\"Destination\""));
    // A different kind of failure is shown too.
    platform::ReportFailure(platform::Failure::Upload, "line", "upload failed");
    EXPECT_TRUE(bus.shown(3).contains("upload failed"));
}

TEST_F(StoreFailures, StaleTemporariesGoAtStartOthersStay)
{
    QDir().mkpath(folder());
    const QStringList stale = {".tarvo.reg.AbC123", ".tarvo.reg.bak.x1Y2z3"};
    const QStringList kept = {".tarvo.reg.keep", ".tarvo.reg.ABCDEFG", ".other.reg.AbC123",
                              "tarvo.reg.lock"};
    for (const QString& n : stale + kept)
        TempHome::write(folder() + "/" + n, "x");
    LoadSettings();
    for (const QString& n : stale)
        EXPECT_FALSE(QFileInfo::exists(folder() + "/" + n)) << n.toStdString();
    for (const QString& n : kept)
        EXPECT_TRUE(QFileInfo::exists(folder() + "/" + n)) << n.toStdString();
}

TEST_F(StoreFailures, SavesKeepTheFileModeAndNewFilesArePrivate)
{
    LoadSettings();
    ASSERT_TRUE(SaveSettings());
    EXPECT_EQ(modeOf(home.storeFile()), 0600u);
    for (mode_t mode : {mode_t(0640), mode_t(0644), mode_t(0600)}) {
        ::chmod(QFile::encodeName(home.storeFile()).constData(), mode);
        Settings.destination = int(mode);
        ASSERT_TRUE(SaveSettings());
        EXPECT_EQ(modeOf(home.storeFile()), mode);
    }
    // The backup of a file with unreadable lines is private too.
    TempHome::write(home.storeFile(), kUserFile + "junk\n");
    LoadSettings();
    ASSERT_TRUE(SaveSettings());
    EXPECT_EQ(modeOf(home.storeFile() + ".bak"), 0600u);
}

TEST_F(StoreFailures, WithoutAPicturesFolderScreenshotsGoToHomePictures)
{
    QFile::remove(home.config() + "/user-dirs.dirs");
    LoadSettings();
    EXPECT_EQ(Settings.targetFolder, home.path() + "/home/Pictures");
    EXPECT_EQ(DefaultPicturesFolder(), home.path() + "/home/Pictures");
}

} // namespace
} // namespace tarvo
