#include "imaging/codecs.h"
#include "imaging/encode_upload.h"
#include "imaging/encoders.h"
#include "net/log.h"
#include "platform/hresult.h"
#include "platform/services.h"

#include <QFile>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace tarvo {
namespace {

struct Call
{
    QString mime;
    std::uint32_t quality;
    bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c)
{
    return os << c.mime.toStdString() << "@" << c.quality;
}

// Drives EncodeForUpload with a scripted encoder and catches the job instead of uploading it.
class EncodeForUploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenLog(dir.path() + "/t.log"));
        services.emplace([this](Services& s) {
            s.encodeForWeb = [this](const QImage&, std::uint32_t q, QStringView mime) {
                calls.push_back({mime.toString(), q});
                const qsizetype size = sizes.empty() ? 100 : sizes.front();
                if (!sizes.empty()) sizes.erase(sizes.begin());
                return QByteArray(size, 'x');
            };
            s.startUpload = [this](std::unique_ptr<UploadJob> j) { jobs.push_back(std::move(j)); };
        });
    }
    void TearDown() override
    {
        services.reset();
        CloseLog();
    }
    QStringList logLines()
    {
        QFile f(dir.path() + "/t.log");
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList out;
        for (const QString& l : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts))
            out << l.section(QStringLiteral(": "), 1);
        return out;
    }
    HRESULT run(const QImage& fragment, const QString& title = QString())
    {
        try {
            EncodeForUpload(fragment, title);
        } catch (const ComError& e) {
            return e.Error();
        }
        return S_OK;
    }

    QTemporaryDir dir;
    std::vector<qsizetype> sizes; // sizes the scripted encoder returns, in order
    std::vector<Call> calls;
    std::vector<std::unique_ptr<UploadJob>> jobs;
    std::optional<ScopedServices> services;
};

TEST_F(EncodeForUploadTest, StartingFormatAndQualityByPixelCount)
{
    const struct
    {
        int w, h;
        const char* mime;
        std::uint32_t quality;
    } cases[] = {
        {1, 1, "image/png", 95},        {640, 256, "image/png", 95}, // 163840
        {163841, 1, "image/png", 90},   {488, 512, "image/png", 90}, // 249856
        {249857, 1, "image/png", 85},   {1000, 1000, "image/png", 85},
        {1000001, 1, "image/png", 80},  {1500, 1000, "image/png", 80},
        {1500001, 1, "image/jpeg", 70}, {2000, 1000, "image/jpeg", 70},
        {2000001, 1, "image/jpeg", 60}, {3840, 2160, "image/jpeg", 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        calls.clear();
        jobs.clear();
        QImage fragment(c.w, c.h, QImage::Format_RGB32);
        ASSERT_EQ(run(fragment), S_OK);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], (Call{c.mime, c.quality}));
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0]->mimeType, c.mime);
    }
}

TEST_F(EncodeForUploadTest, ExactlyTheLimitIsUploadedAsItIs)
{
    sizes = {UploadSizeLimit};
    ASSERT_EQ(run(QImage(100, 100, QImage::Format_RGB32), "Заголовок"), S_OK);
    EXPECT_EQ(calls.size(), 1u);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->mimeType, "image/png");
    EXPECT_EQ(jobs[0]->imageSize, std::uint64_t(UploadSizeLimit));
    EXPECT_EQ(jobs[0]->image.size(), UploadSizeLimit);
    EXPECT_EQ(jobs[0]->annotation, "Заголовок");
    EXPECT_TRUE(logLines().isEmpty());
}

TEST_F(EncodeForUploadTest, OversizedPngBecomesJpegAtTheSameQuality)
{
    sizes = {UploadSizeLimit + 1, 4000};
    ASSERT_EQ(run(QImage(500, 500, QImage::Format_RGB32)), S_OK); // PNG 85
    EXPECT_EQ(calls, (std::vector<Call>{{"image/png", 85}, {"image/jpeg", 85}}));
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->mimeType, "image/jpeg");
    EXPECT_EQ(jobs[0]->imageSize, 4000u);
    EXPECT_EQ(logLines(),
              QStringList{"Cannot reach desired image size with PNG encoding, will try JPEG"});
}

TEST_F(EncodeForUploadTest, QualityFallsInStepsOfFiveUntilItFits)
{
    sizes = {UploadSizeLimit + 1, UploadSizeLimit + 1, 600000, 524288};
    ASSERT_EQ(run(QImage(10, 10, QImage::Format_RGB32)), S_OK);
    EXPECT_EQ(calls,
              (std::vector<Call>{
                  {"image/png", 95}, {"image/jpeg", 95}, {"image/jpeg", 90}, {"image/jpeg", 85}}));
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->mimeType, "image/jpeg");
    EXPECT_EQ(jobs[0]->imageSize, 524288u);
    EXPECT_EQ(logLines(),
              (QStringList{
                  "Cannot reach desired image size with PNG encoding, will try JPEG",
                  "Cannot reach desired image size with quality 95, will try decreasing quality",
                  "Cannot reach desired image size with quality 90, will try decreasing quality",
              }));
}

TEST_F(EncodeForUploadTest, GivesUpBelowFortyAndUploadsNothing)
{
    struct Case
    {
        int w, h;
        std::vector<std::uint32_t> jpegQualities;
    };
    const Case cases[] = {
        {3840, 2160, {60, 55, 50, 45, 40}},
        {10, 10, {95, 90, 85, 80, 75, 70, 65, 60, 55, 50, 45, 40}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.w);
        calls.clear();
        sizes.assign(20, UploadSizeLimit + 1);
        EXPECT_EQ(run(QImage(c.w, c.h, QImage::Format_RGB32)), E_OUTOFMEMORY);
        std::vector<std::uint32_t> jpeg;
        for (const Call& k : calls)
            if (k.mime == "image/jpeg") jpeg.push_back(k.quality);
        EXPECT_EQ(jpeg, c.jpegQualities);
    }
    EXPECT_TRUE(jobs.empty());
    const QStringList lines = logLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.back(), "Cannot reach desired image size, giving up");
    EXPECT_TRUE(lines.contains(
        "Cannot reach desired image size with quality 40, will try decreasing quality"));
    EXPECT_FALSE(lines.contains(
        "Cannot reach desired image size with quality 35, will try decreasing quality"));
}

TEST_F(EncodeForUploadTest, EncoderFailureStopsBeforeTheUpload)
{
    const ScopedServices failing([](Services& s) {
        s.encodeForWeb = [](const QImage&, std::uint32_t, QStringView) -> QByteArray {
            ThrowHr(E_FAIL);
        };
    });
    EXPECT_EQ(run(QImage(10, 10, QImage::Format_RGB32)), E_FAIL);
    EXPECT_TRUE(jobs.empty());
}

// With the real encoders: noise does not compress, so PNG is too big and JPEG takes over.
TEST_F(EncodeForUploadTest, RealEncodersKeepNoiseWithinTheLimit)
{
    const ScopedServices real([](Services& s) { s.encodeForWeb = nullptr; });
    QImage noise(640, 400, QImage::Format_RGB32); // 256000 pixels: PNG at 85 first
    QRandomGenerator rng(11);
    for (int y = 0; y < noise.height(); ++y) {
        auto* row = reinterpret_cast<quint32*>(noise.scanLine(y));
        for (int x = 0; x < noise.width(); ++x)
            row[x] = rng.generate() | 0xFF000000u;
    }
    ASSERT_EQ(run(noise), S_OK);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->mimeType, "image/jpeg");
    EXPECT_LE(jobs[0]->imageSize, std::uint64_t(UploadSizeLimit));
    EXPECT_EQ(jobs[0]->imageSize, std::uint64_t(jobs[0]->image.size()));
    QImage back;
    ASSERT_TRUE(back.loadFromData(jobs[0]->image, "JPEG"));
    EXPECT_EQ(back.size(), noise.size());
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], "Using encoder: image/png, quality: 85");
    EXPECT_EQ(lines[1], "Cannot reach desired image size with PNG encoding, will try JPEG");
    EXPECT_EQ(lines[2], "Using encoder: image/jpeg, quality: 85");

    // A flat picture stays PNG.
    jobs.clear();
    QImage flat(300, 200, QImage::Format_RGB32);
    flat.fill(Qt::darkCyan);
    ASSERT_EQ(run(flat), S_OK);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->mimeType, "image/png");
}

// The PNGs are tried quickest first, and the first that fits is sent: each row is a picture
// (a smooth gradient under rows of noise) that only that encoder and the ones after it fit.
TEST_F(EncodeForUploadTest, TheFirstPngThatFitsIsSent)
{
    const ScopedServices real([](Services& s) { s.encodeForWeb = nullptr; });
    const std::function<QByteArray(const QImage&)> chain[] = {
        [](const QImage& image) { return codecs::EncodePngQuick(image, 1); },
        [](const QImage& image) { return codecs::EncodePngQuick(image, 5); },
        [](const QImage& image) { return codecs::EncodePng(image); },
    };
    QImage gradient(1000, 900, QImage::Format_RGB32); // 0.9 megapixels: PNG at 85 first
    QPainter p(&gradient);
    QLinearGradient g(0, 0, gradient.width(), gradient.height());
    g.setColorAt(0, QColor(30, 80, 140));
    g.setColorAt(1, QColor(200, 120, 60));
    p.fillRect(gradient.rect(), g);
    p.end();
    const auto withNoise = [&gradient](int rows) {
        QImage picture = gradient;
        QRandomGenerator rng(5);
        for (int y = 0; y < rows; ++y) {
            auto* row = reinterpret_cast<quint32*>(picture.scanLine(y));
            for (int x = 0; x < picture.width(); ++x)
                row[x] = rng.generate() | 0xFF000000u;
        }
        return picture;
    };
    for (std::size_t link = 0; link < std::size(chain); ++link) {
        SCOPED_TRACE(link);
        // The most rows of noise this encoder still fits (its size grows with them).
        int fits = 0, over = gradient.height();
        while (over - fits > 1) {
            const int mid = (fits + over) / 2;
            (chain[link](withNoise(mid)).size() <= UploadSizeLimit ? fits : over) = mid;
        }
        const QImage picture = withNoise(link == 0 ? 0 : fits);
        const QByteArray expected = chain[link](picture);
        ASSERT_LE(expected.size(), UploadSizeLimit) << "the picture no longer tests the case";
        for (std::size_t before = 0; before < link; ++before)
            ASSERT_GT(chain[before](picture).size(), UploadSizeLimit)
                << "the picture no longer tests the case";

        jobs.clear();
        ASSERT_EQ(run(picture), S_OK);
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0]->mimeType, "image/png");
        EXPECT_EQ(jobs[0]->image, expected);
        QImage back;
        ASSERT_TRUE(back.loadFromData(jobs[0]->image, "PNG"));
        EXPECT_EQ(back.convertToFormat(QImage::Format_RGB32), picture);
    }
}

} // namespace
} // namespace tarvo
