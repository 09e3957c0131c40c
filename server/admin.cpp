#include "server/admin.h"

#include "server/log.h"
#include "server/routes.h"

#include <chrono>
#include <ctime>

namespace tarvo::server {

namespace {

constexpr auto kExpiryPeriod = std::chrono::hours(1);
constexpr std::int64_t kSecondsPerDay = 86400;

} // namespace

void ListImages(Storage& storage, std::int64_t since, std::ostream& out)
{
    for (const ImageSummary& image : storage.List(since)) {
        out << protocol::IdToken(image.id).substr(0, 6) << ' ' << FormatUtc(image.createdAt) << ' '
            << image.size << ' ' << EscapeControl(image.annotation) << '\n';
    }
}

DeleteResult DeleteImage(Storage& storage, std::string_view reference)
{
    const auto id = ParseImageReference(reference);
    if (!id) return DeleteResult::NotAReference;
    return storage.Remove(*id) ? DeleteResult::Deleted : DeleteResult::NotFound;
}

std::size_t ExpireImages(Storage& storage, unsigned days, std::int64_t now)
{
    const std::size_t removed =
        storage.RemoveOlderThan(now - static_cast<std::int64_t>(days) * kSecondsPerDay);
    if (removed > 0)
        Log("expired " + std::to_string(removed) + " image(s) older than " + std::to_string(days) +
            " day(s)");
    return removed;
}

Expirer::Expirer(Storage& storage, unsigned days)
    : storage_(storage), days_(days), thread_([this] { run(); })
{
}

Expirer::~Expirer()
{
    {
        const std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Expirer::run()
{
    std::unique_lock<std::mutex> lock(lock_);
    while (!wake_.wait_for(lock, kExpiryPeriod, [this] { return stopping_; })) {
        lock.unlock();
        try {
            ExpireImages(storage_, days_, static_cast<std::int64_t>(std::time(nullptr)));
        } catch (const StorageError& e) {
            Log(std::string("expiry failed: ") + RedactTokens(e.what()));
        }
        lock.lock();
    }
}

} // namespace tarvo::server
