// The selection arithmetic and the capture pipeline's routing, failures, log lines and sounds,
// with the screen copy, the overlay and the deliveries replaced by scripted steps.
#include "capture/capture.h"
#include "capture/selection.h"
#include "net/log.h"
#include "platform/commands.h"
#include "platform/hresult.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "platform/sound.h"
#include "platform/window.h"
#include "settings/settings.h"
#include "support/temp_env.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QFile>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvo {

std::ostream& operator<<(std::ostream& os, const SelectionRect& s)
{
    return os << "{" << s.x << ", " << s.y << ", " << s.width << ", " << s.height << "}";
}

namespace {

// ---- selection arithmetic ----

struct DragCase
{
    const char* name;
    QPoint anchor;
    QPoint cursor;
    CaptureArea area;
    SelectionRect expected;
};

TEST(Selection, DragInEveryDirectionGivesTheRectangleFromItsTopLeftCorner)
{
    const CaptureArea screen{0, 0, 1280, 800};
    // A virtual screen whose second monitor lies left of the primary one.
    const CaptureArea leftMonitor{-1920, -200, 1280, 800};
    const DragCase cases[] = {
        {"down-right", {100, 100}, {300, 250}, screen, {100, 100, 200, 150}},
        {"down-left", {300, 100}, {100, 250}, screen, {100, 100, 200, 150}},
        {"up-right", {100, 250}, {300, 100}, screen, {100, 100, 200, 150}},
        {"up-left", {300, 250}, {100, 100}, screen, {100, 100, 200, 150}},
        {"back to the start", {300, 250}, {300, 250}, screen, {300, 250, 0, 0}},
        {"straight down", {40, 10}, {40, 90}, screen, {40, 10, 0, 80}},
        {"origin left of zero",
         {-1900, -150},
         {-2000 + 1920, 100},
         leftMonitor,
         {20, 50, 1820, 250}},
        {"up-left on the left monitor", {-10, 0}, {-1920, -200}, leftMonitor, {0, 0, 1910, 200}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SelectionFromDrag(c.anchor, c.cursor, c.area), c.expected) << c.name;
}

// The toolkit hands widgets device positions divided by the scale factor (it multiplies by the
// reciprocal). Every device pixel of a 4K screen must come back exactly, or the fragment would
// be off by one pixel at odd positions.
TEST(Selection, DevicePixelsSurviveTheScaleFactorRoundTrip)
{
    for (const double scale : {1.0, 1.25, 1.5, 1.75, 2.0, 3.0}) {
        int wrong = 0;
        for (int n = 0; n < 3840; ++n) {
            const double viaReciprocal = n * (1.0 / scale);
            const double viaDivision = n / scale;
            if (DevicePixelAt({viaReciprocal, viaDivision}, scale) != QPoint(n, n)) ++wrong;
        }
        EXPECT_EQ(wrong, 0) << "scale " << scale;
    }
    // A position between pixels belongs to the pixel that contains it.
    EXPECT_EQ(DevicePixelAt({100.75 / 2.0, 0.4}, 2.0), QPoint(100, 0));
}

TEST(Selection, ScaledDragSelectsTheSameDevicePixels)
{
    const CaptureArea area{0, 0, 3840, 2160};
    for (const double scale : {1.0, 1.5, 2.0}) {
        const auto logical = [scale](int x, int y) {
            return QPointF(x * (1.0 / scale), y * (1.0 / scale));
        };
        const QPoint anchor = DevicePixelAt(logical(1001, 333), scale);
        const struct
        {
            QPoint cursor;
            SelectionRect expected;
        } drags[] = {
            {{2501, 1999}, {1001, 333, 1500, 1666}},
            {{3, 7}, {3, 7, 998, 326}},
            {{3839, 1}, {1001, 1, 2838, 332}},
            {{1, 2159}, {1, 333, 1000, 1826}},
        };
        for (const auto& d : drags) {
            const QPoint p = DevicePixelAt(logical(d.cursor.x(), d.cursor.y()), scale);
            EXPECT_EQ(SelectionFromDrag(anchor, p, area), d.expected) << "scale " << scale;
        }
    }
}

// ---- the pipeline ----

class TitleWindow : public platform::CommandTarget
{
public:
    void OnSysCommand(qintptr command, qintptr param) override
    {
        commands.push_back(command);
        if (command != CmdAskTitle) return;
        auto* request = reinterpret_cast<TitleRequest*>(param);
        requestResultIn = request->result;
        titleIn = *request->title;
        request->result = answer;
        if (answer == 1) *request->title = typed;
    }
    std::vector<qintptr> commands;
    std::int32_t answer = 2;
    QString typed;
    std::int32_t requestResultIn = 0;
    QString titleIn = QStringLiteral("<not asked>");
};

struct Delivery
{
    std::string where; // "clipboard", "file" or "web"
    QImage fragment;
    QString title;
};

class Pipeline : public ::testing::Test
{
protected:
    void SetUp() override
    {
        saved_ = Settings;
        Settings.sounds = true;
        Settings.annotate = false;
        ASSERT_TRUE(OpenLog(logPath()));
        platform::SetMainWindow(&window);

        frozen = QImage(640, 480, QImage::Format_RGB32);
        for (int y = 0; y < frozen.height(); ++y)
            for (int x = 0; x < frozen.width(); ++x)
                frozen.setPixel(x, y, qRgb(x & 0xFF, y & 0xFF, (x * 7 + y) & 0xFF));
        installSteps();
    }
    // The scripted steps, then whatever change makes of them.
    void installSteps(const std::function<void(Services&)>& change = {})
    {
        services.reset();
        services.emplace([&](Services& s) {
            s.playSound = [this](int id, const QByteArray&) { sounds.push_back(id); };
            s.captureScreen = [this](CaptureArea* area) {
                *area = CaptureArea{0, 0, frozen.width(), frozen.height()};
                return frozen;
            };
            s.selectRegion = [this](const CaptureArea& area, const QImage& image) {
                shownArea = area;
                shownImage = image;
                if (selectionError) ThrowHr(*selectionError);
                return selection;
            };
            s.postToClipboard = [this](const QImage& f) { deliver("clipboard", f); };
            s.saveToNumberedFile = [this](const QImage& f) { deliver("file", f); };
            s.encodeForUpload = [this](const QImage& f, const QString& title) {
                deliver("web", f, title);
            };
            if (change) change(s);
        });
    }
    void TearDown() override
    {
        services.reset();
        platform::SetMainWindow(nullptr);
        CloseLog();
        Settings = saved_;
    }

    void deliver(const char* where, const QImage& f, const QString& title = {})
    {
        deliveries.push_back({where, f, title});
        if (deliveryError) deliveryError();
    }

    QString logPath() const { return home.path() + "/capture.log"; }
    // The log's texts without their time stamps.
    QStringList logLines() const
    {
        QStringList out;
        const QString all = QString::fromUtf8(test::TempHome::read(logPath()));
        for (const QString& line : all.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            out << line.mid(21); // "YYYY-MM-DD HH:MM:SS: "
        return out;
    }

    test::TempHome home;
    TitleWindow window;
    std::optional<ScopedServices> services;
    QImage frozen;
    SelectionRect selection{10, 20, 30, 40};
    std::optional<HRESULT> selectionError;
    std::function<void()> deliveryError;
    CaptureArea shownArea;
    QImage shownImage;
    std::vector<Delivery> deliveries;
    std::vector<int> sounds;

private:
    SettingsRecord saved_;
};

TEST_F(Pipeline, RoutesTheFragmentByDestination)
{
    const struct
    {
        std::int32_t destination;
        bool annotate;
        const char* where;
    } routes[] = {
        {DestinationClipboard, false, "clipboard"},
        {DestinationFile, false, "file"},
        {DestinationWeb, false, "web"},
        // The annotation belongs to the web only.
        {DestinationClipboard, true, "clipboard"},
        {DestinationFile, true, "file"},
    };
    for (const auto& r : routes) {
        deliveries.clear();
        window.commands.clear();
        Settings.annotate = r.annotate;
        RunCapture(r.destination);
        ASSERT_EQ(deliveries.size(), 1u) << r.where;
        const Delivery& d = deliveries.front();
        EXPECT_EQ(d.where, r.where);
        EXPECT_TRUE(d.title.isEmpty());
        EXPECT_EQ(d.fragment.size(), QSize(30, 40));
        EXPECT_EQ(d.fragment.format(), frozen.format());
        EXPECT_EQ(d.fragment, frozen.copy(10, 20, 30, 40));
        EXPECT_TRUE(window.commands.empty()) << r.where << ": no title asked";
    }
    EXPECT_EQ(shownArea.width(), 640);
    EXPECT_EQ(shownArea.height(), 480);
    EXPECT_EQ(shownImage.constBits(), frozen.constBits()) << "the overlay shows the frozen image";
    EXPECT_TRUE(sounds.empty()) << "success sounds belong to the deliveries";
    const QStringList expected{"Capturing screen", "Selection is: width=30, height=40"};
    EXPECT_EQ(logLines(), expected + expected + expected + expected + expected);
}

TEST_F(Pipeline, WebWithAnnotationAsksForTheTitleAndUploadsWithIt)
{
    Settings.annotate = true;
    window.answer = 1;
    window.typed = QStringLiteral("Закат над морем");
    RunCapture(DestinationWeb);
    EXPECT_EQ(window.commands, std::vector<qintptr>{CmdAskTitle});
    EXPECT_EQ(window.requestResultIn, 2);
    EXPECT_EQ(window.titleIn, QString());
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].where, "web");
    EXPECT_EQ(deliveries[0].title, QStringLiteral("Закат над морем"));
    EXPECT_TRUE(sounds.empty());
}

TEST_F(Pipeline, CancelledAnnotationDeliversNothingAndIsSilent)
{
    Settings.annotate = true;
    for (const std::int32_t answer : {2, 0, 7}) {
        window.answer = answer;
        window.typed = QStringLiteral("не отправлять");
        RunCapture(DestinationWeb);
    }
    EXPECT_EQ(window.commands.size(), 3u);
    EXPECT_TRUE(deliveries.empty());
    EXPECT_TRUE(sounds.empty());
    const QStringList once{"Capturing screen", "Selection is: width=30, height=40"};
    EXPECT_EQ(logLines(), once + once + once);
}

// A key pressed while the picture is delivered captures once that is done; one pressed while
// the rectangle is chosen does nothing (the overlay has the keyboard then).
TEST_F(Pipeline, AKeyPressedWhileThePictureIsDeliveredCapturesAfterIt)
{
    int selections = 0;
    installSteps([&](Services& s) {
        s.selectRegion = [&, select = s.selectRegion](const CaptureArea& area,
                                                      const QImage& image) {
            ++selections;
            RunCapture(DestinationWeb);
            return select(area, image);
        };
        s.saveToNumberedFile = [&](const QImage& f) {
            deliver("file", f);
            RunCapture(DestinationClipboard);
        };
    });
    RunCapture(DestinationFile);
    ASSERT_EQ(deliveries.size(), 1u) << "the next capture waits for this one to end";
    ASSERT_TRUE(test::ProcessEventsUntil([&] { return deliveries.size() == 2; }));
    EXPECT_EQ(deliveries[1].where, "clipboard");
    QCoreApplication::processEvents();
    EXPECT_EQ(selections, 2);
    EXPECT_EQ(deliveries.size(), 2u);
}

struct FailureCase
{
    const char* name;
    std::int32_t destination = DestinationClipboard;
    SelectionRect selection{10, 20, 30, 40};
    std::optional<HRESULT> selectionError{};
    bool noImage = false;
    std::function<void()> deliveryError{};
    QStringList log{};
    std::vector<int> sounds{IDW_FAILURE};
};

TEST_F(Pipeline, FailuresAreLoggedInOrderAndAnsweredWithTheFailureSound)
{
    const QString start = QStringLiteral("Capturing screen");
    const QString unspecified = QStringLiteral("Exception: 0x80004005: Unspecified error");
    const FailureCase cases[] = {
        {.name = "unknown destination",
         .destination = 3,
         .log = {start, "Selection is: width=30, height=40", unspecified}},
        {.name = "negative destination",
         .destination = -1,
         .log = {start, "Selection is: width=30, height=40", unspecified}},
        {.name = "no screen image",
         .noImage = true,
         .log = {start, "Bitmap not captured", unspecified}},
        {.name = "cancelled selection",
         .selectionError = CancelledCode,
         .log = {start, "Request cancelled"},
         .sounds = {}},
        {.name = "overlay failed", .selectionError = E_FAIL, .log = {start, unspecified}},
        {.name = "dragged back to the start",
         .selection = {50, 60, 0, 0},
         .log = {start, "Selection is: width=0, height=0", "Selection is empty", unspecified}},
        {.name = "zero width only",
         .selection = {50, 60, 0, 25},
         .log = {start, "Selection is: width=0, height=25", "Selection is empty", unspecified}},
        {.name = "zero height only",
         .selection = {50, 60, 25, 0},
         .log = {start, "Selection is: width=25, height=0", "Selection is empty", unspecified}},
        {.name = "click without a move",
         .selection = {100, 100, -1, -1},
         .log = {start, "Selection is: width=-1, height=-1", "Cannot extract fragment",
                 unspecified}},
        {.name = "reaching past the right edge",
         .selection = {611, 0, 30, 40},
         .log = {start, "Selection is: width=30, height=40", "Cannot extract fragment",
                 unspecified}},
        {.name = "reaching past the bottom edge",
         .selection = {0, 441, 30, 40},
         .log = {start, "Selection is: width=30, height=40", "Cannot extract fragment",
                 unspecified}},
        {.name = "delivery failed with a code",
         .deliveryError = [] { ThrowHr(MakeHr(0x80070005u)); },
         .log = {start, "Selection is: width=30, height=40",
                 "Exception: 0x80070005: Access is denied."}},
        {.name = "delivery failed otherwise",
         .deliveryError = [] { throw std::runtime_error("disk on fire"); },
         .log = {start, "Selection is: width=30, height=40", "Unknown exception, cannot post"}},
        {.name = "delivery cancelled",
         .deliveryError = [] { ThrowHr(CancelledCode); },
         .log = {start, "Selection is: width=30, height=40", "Request cancelled"},
         .sounds = {}},
    };
    for (const auto& c : cases) {
        CloseLog();
        QFile::remove(logPath());
        ASSERT_TRUE(OpenLog(logPath()));
        sounds.clear();
        deliveries.clear();
        installSteps([&c](Services& s) {
            if (c.noImage) s.captureScreen = [](CaptureArea*) { return QImage(); };
        });
        selection = c.selection;
        selectionError = c.selectionError;
        deliveryError = c.deliveryError;

        RunCapture(c.destination);

        EXPECT_EQ(logLines(), c.log) << c.name;
        EXPECT_EQ(sounds, c.sounds) << c.name;
        if (!c.deliveryError) {
            EXPECT_TRUE(deliveries.empty()) << c.name;
        }
    }
}

TEST_F(Pipeline, ExactlyFittingSelectionsAreExtracted)
{
    const SelectionRect fits[] = {{610, 440, 30, 40}, {0, 0, 640, 480}, {639, 479, 1, 1}};
    for (const auto& s : fits) {
        deliveries.clear();
        selection = s;
        RunCapture(DestinationFile);
        ASSERT_EQ(deliveries.size(), 1u) << s;
        EXPECT_EQ(deliveries[0].fragment, frozen.copy(s.x, s.y, s.width, s.height)) << s;
    }
    EXPECT_TRUE(sounds.empty());
    EXPECT_TRUE(ExtractFragment(frozen, {-1, 0, 5, 5}).isNull());
    EXPECT_TRUE(ExtractFragment(frozen, {0x7FFFFFF0, 0, 0x7FFFFFF0, 5}).isNull());
    EXPECT_TRUE(ExtractFragment(QImage(), {0, 0, 1, 1}).isNull());
}

TEST_F(Pipeline, WithSoundsOffNoFailurePlaysAnything)
{
    Settings.sounds = false;
    RunCapture(3);
    selection = {1, 1, -1, -1};
    RunCapture(DestinationClipboard);
    deliveryError = [] { throw std::runtime_error("x"); };
    selection = {1, 1, 5, 5};
    RunCapture(DestinationFile);
    EXPECT_TRUE(sounds.empty());
    EXPECT_EQ(logLines().size(), 3u + 4u + 3u);
}

TEST_F(Pipeline, ACaptureRequestedWhileOneRunsIsIgnored)
{
    installSteps([](Services& s) {
        s.selectRegion = [select = s.selectRegion](const CaptureArea& a, const QImage& f) {
            RunCapture(DestinationFile); // the key pressed again while the overlay is up
            return select(a, f);
        };
    });
    RunCapture(DestinationClipboard);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].where, "clipboard");
    EXPECT_EQ(logLines(), (QStringList{"Capturing screen", "Selection is: width=30, height=40"}));
    // Over, and the next one runs normally; a failure does not leave it blocked either.
    RunCapture(3);
    RunCapture(DestinationFile);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].where, "file");
}

TEST(CaptureScreen, WithoutADisplayThereIsNoImageAndTheCaptureFails)
{
    // The unit tests run without a GUI application, like a session without X.
    CaptureArea area{1, 2, 3, 4};
    EXPECT_TRUE(CaptureScreen(&area).isNull());
    EXPECT_EQ(area.left, 1);

    test::TempHome home;
    const QString log = home.path() + "/nodisplay.log";
    ASSERT_TRUE(OpenLog(log));
    std::vector<int> played;
    {
        const ScopedServices sounds([&](Services& s) {
            s.playSound = [&](int id, const QByteArray&) { played.push_back(id); };
        });
        const SettingsRecord saved = Settings;
        Settings.sounds = true;
        RunCapture(DestinationClipboard);
        Settings = saved;
    }
    CloseLog();
    const QString text = QString::fromUtf8(test::TempHome::read(log));
    EXPECT_TRUE(text.contains("Capturing screen\n"));
    EXPECT_TRUE(text.contains("Bitmap not captured\n"));
    EXPECT_TRUE(text.contains("Exception: 0x80004005: Unspecified error\n"));
    EXPECT_EQ(played, std::vector<int>{IDW_FAILURE});
}

} // namespace
} // namespace tarvo
