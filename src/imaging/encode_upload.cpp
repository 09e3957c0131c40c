#include "imaging/encode_upload.h"

#include "imaging/codecs.h"
#include "imaging/encoders.h"
#include "imaging/off_thread.h"
#include "net/log.h"
#include "platform/hresult.h"
#include "platform/services.h"

#include <array>

namespace tarvo {

namespace {

constexpr QStringView kPng = u"image/png";
constexpr QStringView kJpeg = u"image/jpeg";
constexpr int kLowestQuality = 40;
constexpr int kQualityStep = 5;

// In the order they are tried after the quick PNG that EncodeToStream makes.
const std::array<QByteArray (*)(const QImage&), 2> kTighterPngs = {
    [](const QImage& image) { return codecs::EncodePngQuick(image, 5); },
    [](const QImage& image) { return codecs::EncodePng(image); },
};

QByteArray encode(const Services& services, const QImage& image, int quality, QStringView mimeType)
{
    const auto q = std::uint32_t(quality);
    return OffThread([&] {
        return services.encodeForWeb ? services.encodeForWeb(image, q, mimeType)
                                     : EncodeToStream(image, q, mimeType);
    });
}

} // namespace

UploadEncoding StartingUploadEncoding(std::int64_t pixels)
{
    if (pixels > 2000000) return {kJpeg, 60};
    if (pixels > 1500000) return {kJpeg, 70};
    if (pixels > 1000000) return {kPng, 80};
    if (pixels > 249856) return {kPng, 85};
    if (pixels > 163840) return {kPng, 90};
    return {kPng, 95};
}

void EncodeForUpload(const QImage& fragment, const QString& title, std::function<void()> finished)
{
    const std::int64_t pixels = std::int64_t(fragment.width()) * std::int64_t(fragment.height());
    const UploadEncoding start = StartingUploadEncoding(pixels);
    QStringView mimeType = start.mimeType;
    int quality = int(start.quality);
    const auto services = CurrentServices();

    QByteArray bytes = encode(*services, fragment, quality, mimeType);
    if (mimeType == kPng && !services->encodeForWeb) {
        // The first PNG is the quickest; tighter ones get their chance before the picture goes
        // to JPEG. libdeflate's is the smaller on desktop pictures, libpng's on smooth gradients.
        for (const auto& tighter : kTighterPngs) {
            if (bytes.size() <= UploadSizeLimit) break;
            bytes = QByteArray();
            bytes = OffThread([&] { return tighter(fragment); });
        }
    }
    if (bytes.size() > UploadSizeLimit && mimeType == kPng) {
        LogText(u"Cannot reach desired image size with PNG encoding, will try JPEG");
        bytes = QByteArray(); // let go of the PNG before the JPEG is made
        mimeType = kJpeg;
        bytes = encode(*services, fragment, quality, mimeType);
    }
    while (bytes.size() > UploadSizeLimit) {
        LogFormat(u"Cannot reach desired image size with quality %i, will try decreasing quality",
                  quality);
        quality -= kQualityStep;
        if (quality < kLowestQuality) {
            LogText(u"Cannot reach desired image size, giving up");
            ThrowHr(E_OUTOFMEMORY);
        }
        bytes = QByteArray();
        bytes = encode(*services, fragment, quality, kJpeg);
    }

    auto job = std::make_unique<UploadJob>();
    job->imageSize = std::uint64_t(bytes.size());
    job->image = std::move(bytes);
    job->mimeType = mimeType.toString();
    job->annotation = title;
    job->finished = std::move(finished);
    if (services->startUpload)
        services->startUpload(std::move(job));
    else
        StartUpload(std::move(job));
}

} // namespace tarvo
