#pragma once
// One upload of an encoded image: the job that the encoding step hands over, and the worker
// thread that encrypts, posts and links it.
#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>

namespace tarvo {

struct UploadJob
{
    std::array<std::uint8_t, 8> imageId{};  // filled by the worker
    std::array<std::uint8_t, 7> imageKey{}; // filled by the worker, right after the id
    std::uint64_t imageSize = 0;            // bytes of the encoded image
    QByteArray image;                       // the encoded PNG or JPEG bytes
    QString mimeType;                       // "image/png" or "image/jpeg"
    QString annotation;                     // the title, or empty
};

// Starts the worker on a thread of its own; the job belongs to the worker from here on. Nothing
// waits for the thread.
void StartUpload(std::unique_ptr<UploadJob> job);

} // namespace tarvo
