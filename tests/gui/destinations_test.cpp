#include "imaging/destinations.h"
#include "net/log.h"
#include "platform/commands.h"
#include "platform/hresult.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/settings.h"
#include "support/helpers.h"
#include "support/temp_env.h"

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <sys/resource.h>
#include <vector>

namespace tarvo {
namespace {

QImage fragment()
{
    QImage img(64, 40, QImage::Format_RGB32);
    img.fill(QColor(240, 240, 240));
    QPainter p(&img);
    p.fillRect(4, 4, 30, 12, QColor(20, 90, 200));
    p.fillRect(40, 20, 20, 16, QColor(200, 30, 30));
    p.end();
    return img;
}

class HistoryRecorder : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr param) override
    {
        if (command == CmdAddHistory)
            paths.push_back(*reinterpret_cast<const QString*>(param));
        else
            others.push_back(command);
    }
    std::vector<QString> paths;
    std::vector<qintptr> others;
};

class Destinations : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved = Settings;
        Settings = SettingsRecord{};
        Settings.sounds = true;
        Settings.targetFolder = dir.path();
        Settings.imageFormat = QStringLiteral("image/png");
        platform::SetMainWindow(&history);
        services.emplace([this](Services& s) {
            s.screenshotCounter = &counter;
            s.playSound = [this](int id, const QByteArray&) { sounds.push_back(id); };
            s.clipboardWait = [this](std::chrono::milliseconds ms) {
                waits.push_back(int(ms.count()));
                imageOnClipboardDuringWait = QGuiApplication::clipboard()->mimeData()->hasImage();
            };
        });
        ASSERT_TRUE(OpenLog(logDir.path() + "/t.log"));
        QGuiApplication::clipboard()->clear();
    }
    void TearDown() override
    {
        CloseLog();
        services.reset();
        platform::SetMainWindow(nullptr);
        Settings = saved;
    }
    QStringList logLines()
    {
        QFile f(logDir.path() + "/t.log");
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList out;
        for (const QString& l : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts))
            out << l.section(QStringLiteral(": "), 1);
        return out;
    }
    QString file(int n, const char* ext = "png") const
    {
        return dir.path() +
               QStringLiteral("/screenshot_%1.%2").arg(n, 5, 10, QLatin1Char('0')).arg(ext);
    }
    static void touch(const QString& path, const QByteArray& bytes = "old")
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    SettingsRecord saved;
    QTemporaryDir dir, logDir;
    HistoryRecorder history;
    std::vector<int> sounds;
    std::vector<int> waits;
    bool imageOnClipboardDuringWait = false;
    std::int32_t counter = 0;
    std::optional<ScopedServices> services;
};

TEST_F(Destinations, ClipboardHoldsThePictureThenWaitsLogsAndSounds)
{
    const QImage img = fragment();
    PostToClipboard(img);
    EXPECT_EQ(QGuiApplication::clipboard()->image().convertToFormat(QImage::Format_RGB32), img);
    EXPECT_EQ(waits, std::vector<int>{500});
    EXPECT_TRUE(imageOnClipboardDuringWait);
    EXPECT_EQ(logLines(), QStringList{"Posted to clipboard"});
    EXPECT_EQ(sounds, std::vector<int>{IDW_SUCCESS});

    Settings.sounds = false;
    sounds.clear();
    PostToClipboard(img);
    EXPECT_TRUE(sounds.empty());
}

// The real pause is a timer: events are handled during it, so another program asking for the
// picture (a paste, a clipboard manager) is answered at once, and only then come log and sound.
TEST_F(Destinations, ThePauseKeepsHandlingEventsWhileThePictureIsOnTheClipboard)
{
    const ScopedServices realPause([](Services& s) { s.clipboardWait = nullptr; });
    const QImage img = fragment();
    QImage pastedDuringPause;
    QStringList logDuringPause;
    std::vector<int> soundsDuringPause;
    bool returned = false;
    QTimer::singleShot(50, [&] {
        if (returned) return;
        pastedDuringPause = QGuiApplication::clipboard()->image();
        logDuringPause = logLines();
        soundsDuringPause = sounds;
    });
    QElapsedTimer t;
    t.start();
    PostToClipboard(img);
    returned = true;
    EXPECT_GE(t.elapsed(), 490) << "the pause is still half a second";
    ASSERT_FALSE(pastedDuringPause.isNull()) << "no event was handled during the pause";
    EXPECT_EQ(pastedDuringPause.convertToFormat(QImage::Format_RGB32), img);
    EXPECT_TRUE(logDuringPause.isEmpty());
    EXPECT_TRUE(soundsDuringPause.empty());
    EXPECT_EQ(logLines(), QStringList{"Posted to clipboard"});
    EXPECT_EQ(sounds, std::vector<int>{IDW_SUCCESS});
}

// A paste asking for PNG gets our encoder's bytes, the same pixels; other types still work.
TEST_F(Destinations, APasteAsPngGetsTheSamePixels)
{
    const QImage img = fragment();
    PostToClipboard(img);
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->hasFormat(QStringLiteral("image/png")));
    const QByteArray png = data->data(QStringLiteral("image/png"));
    ASSERT_TRUE(png.startsWith("\x89PNG"));
    EXPECT_EQ(png, data->data(QStringLiteral("image/png"))) << "encoded once, then kept";
    EXPECT_TRUE(test::SamePixels(QImage::fromData(png).convertToFormat(QImage::Format_RGB32), img));
    EXPECT_TRUE(data->hasImage());
}

// The capture takes its overlay away when told the picture is delivered: by then a paste must
// get it, and the file must be whole; the pause, the history and the sound come after.
TEST_F(Destinations, DeliveredIsToldOnceThePictureIsThereAndBeforeTheRest)
{
    const QImage img = fragment();
    int calls = 0;
    QByteArray pngThen;
    std::vector<int> waitsThen{-1};
    PostToClipboard(img, [&] {
        ++calls;
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        if (data) pngThen = data->data(QStringLiteral("image/png"));
        waitsThen = waits;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(waitsThen.empty()) << "told after the pause";
    EXPECT_TRUE(
        test::SamePixels(QImage::fromData(pngThen).convertToFormat(QImage::Format_RGB32), img));

    calls = 0;
    QByteArray fileThen;
    std::size_t historyThen = 99;
    SaveToNumberedFile(img, [&] {
        ++calls;
        QFile f(Settings.targetFolder + "/screenshot_00001.png");
        if (f.open(QIODevice::ReadOnly)) fileThen = f.readAll();
        historyThen = history.paths.size();
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(historyThen, 0u) << "told after the history heard of it";
    QFile f(Settings.targetFolder + "/screenshot_00001.png");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(fileThen, f.readAll()) << "told before the file was whole";
}

TEST_F(Destinations, ExtensionByImageFormat)
{
    const struct
    {
        const char16_t* format;
        const char* ext;
    } known[] = {{u"image/jpeg", "jpg"},
                 {u"image/png", "png"},
                 {u"image/gif", "gif"},
                 {u"image/bmp", "bmp"}};
    for (const auto& k : known)
        EXPECT_EQ(ExtensionForImageFormat(QStringView(k.format)), k.ext);
    for (const char16_t* bad : {u"", u"image/jpg", u"IMAGE/PNG", u"image/tiff", u"png"})
        EXPECT_EQ(test::ErrorOf([&] { ExtensionForImageFormat(QStringView(bad)); }), E_BAD_FORMAT);
}

TEST_F(Destinations, FolderPrefixGetsOneSlash)
{
    const struct
    {
        const char* folder;
        const char* prefix;
    } cases[] = {{"", ""},
                 {"/home/u/Pictures", "/home/u/Pictures/"},
                 {"/home/u/Pictures/", "/home/u/Pictures/"},
                 {"/", "/"},
                 {"relative", "relative/"},
                 {"C:", "C:/"}}; // a drive colon means nothing here
    for (const auto& c : cases)
        EXPECT_EQ(FolderPrefix(c.folder), c.prefix) << c.folder;
}

TEST_F(Destinations, SavesTheNextFreeNumberAndReportsThePath)
{
    touch(file(1));
    touch(file(2));
    ASSERT_TRUE(QDir(dir.path()).mkdir("screenshot_00003.png")); // a folder takes a number too
    const QImage img = fragment();
    QGuiApplication::clipboard()->setImage(img); // replaced by the path

    SaveToNumberedFile(img);
    const QString path = file(4);
    QImage saved;
    ASSERT_TRUE(saved.load(path));
    EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), img);
    {
        QFile f(file(1));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), "old");
    }
    EXPECT_EQ(history.paths, std::vector<QString>{path});
    EXPECT_TRUE(history.others.empty());
    EXPECT_FALSE(QGuiApplication::clipboard()->mimeData()->hasImage());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), path);
    EXPECT_EQ(sounds, std::vector<int>{IDW_SUCCESS});
    EXPECT_EQ(counter, 4);

    // The counter goes on from the last number, even when earlier ones become free.
    QFile::remove(file(1));
    SaveToNumberedFile(img);
    EXPECT_TRUE(QFile::exists(file(5)));
    EXPECT_FALSE(QFile::exists(file(1)));
    EXPECT_EQ(history.paths.back(), file(5));
    EXPECT_TRUE(logLines().isEmpty()); // saving writes no "Using encoder" line
}

TEST_F(Destinations, EachFormatIsSavedUnderItsExtension)
{
    Settings.sounds = false;
    const struct
    {
        const char* format;
        const char* ext;
        const char* reader;
    } cases[] = {{"image/jpeg", "jpg", "JPEG"},
                 {"image/png", "png", "PNG"},
                 {"image/gif", "gif", "GIF"},
                 {"image/bmp", "bmp", "BMP"}};
    int n = 0;
    for (const auto& c : cases) {
        Settings.imageFormat = c.format;
        SaveToNumberedFile(fragment());
        QImage back;
        EXPECT_TRUE(back.load(file(++n, c.ext), c.reader)) << c.format;
        EXPECT_EQ(back.size(), fragment().size());
    }
    EXPECT_TRUE(sounds.empty());
}

EncodedFragment onTheirWay(const char* format, const QByteArray& bytes)
{
    std::promise<QByteArray> promise;
    if (bytes.isEmpty())
        promise.set_exception(std::make_exception_ptr(ComError(E_OUTOFMEMORY)));
    else
        promise.set_value(bytes);
    return {QString::fromLatin1(format), promise.get_future().share()};
}

// Bytes made ahead are taken only in the format the delivery writes; a failure they carry is
// the file's failure.
TEST_F(Destinations, BytesMadeAheadAreTakenOnlyInTheirOwnFormat)
{
    Settings.sounds = false;
    const QImage img = fragment();
    const QByteArray ahead = "made ahead";
    Settings.imageFormat = "image/png";
    SaveToNumberedFile(img, {}, onTheirWay("image/png", ahead));
    QFile taken(file(1));
    ASSERT_TRUE(taken.open(QIODevice::ReadOnly));
    EXPECT_EQ(taken.readAll(), ahead);

    Settings.imageFormat = "image/jpeg";
    SaveToNumberedFile(img, {}, onTheirWay("image/png", ahead));
    QImage back;
    EXPECT_TRUE(back.load(file(2, "jpg"), "JPEG")) << "another format's bytes were written";

    Settings.imageFormat = "image/png";
    EXPECT_EQ(test::ErrorOf([&] { SaveToNumberedFile(img, {}, onTheirWay("image/png", {})); }),
              E_OUTOFMEMORY);
    EXPECT_FALSE(QFile::exists(file(3)));

    PostToClipboard(img, {}, onTheirWay("image/jpeg", ahead));
    const QByteArray png = QGuiApplication::clipboard()->mimeData()->data("image/png");
    EXPECT_TRUE(
        test::SamePixels(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32), img));
}

TEST_F(Destinations, FailuresDeliverNothing)
{
    Settings.imageFormat = "image/tiff";
    EXPECT_EQ(test::ErrorOf([] { SaveToNumberedFile(fragment()); }), E_BAD_FORMAT);

    Settings.imageFormat = "image/png";
    // The system's reason goes to the log on a line of its own; the failure is E_FAIL.
    Settings.targetFolder = dir.path() + "/missing";
    EXPECT_EQ(test::ErrorOf([] { SaveToNumberedFile(fragment()); }), E_FAIL);

    touch(dir.path() + "/plainfile");
    Settings.targetFolder = dir.path() + "/plainfile";
    EXPECT_EQ(test::ErrorOf([] { SaveToNumberedFile(fragment()); }), E_FAIL);

    EXPECT_TRUE(history.paths.empty());
    EXPECT_TRUE(sounds.empty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"plainfile"});
}

TEST_F(Destinations, AFailedWriteLeavesNoPartialFile)
{
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Settings.imageFormat = "image/bmp"; // 7734 bytes
    const HRESULT hr = test::ErrorOf([] { SaveToNumberedFile(fragment()); });
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_FALSE(QFile::exists(file(1, "bmp")));
    EXPECT_TRUE(history.paths.empty());
    EXPECT_TRUE(sounds.empty());
}

TEST_F(Destinations, TheDefaultPicturesFolderIsMadeOnFirstUse)
{
    test::TempHome home;
    Settings.targetFolder = DefaultPicturesFolder();
    ASSERT_FALSE(QFileInfo::exists(Settings.targetFolder));
    SaveToNumberedFile(fragment());
    ASSERT_EQ(history.paths.size(), 1u);
    EXPECT_TRUE(history.paths[0].startsWith(home.path() + "/home/Pictures/screenshot_"));
    EXPECT_TRUE(QFileInfo(history.paths[0]).isFile());
}

} // namespace
} // namespace tarvo
