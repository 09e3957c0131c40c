#pragma once
// The administrator's side: the list and delete commands and the expiry of old images.
#include "server/storage.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string_view>
#include <thread>

namespace tarvo::server {

// One line per image, oldest first: id prefix (6 characters), UTC time, ciphertext bytes,
// title with control characters escaped.
void ListImages(Storage& storage, std::int64_t since, std::ostream& out);

enum class DeleteResult
{
    Deleted,
    NotFound,
    NotAReference, // neither a link nor a link or id token
};
DeleteResult DeleteImage(Storage& storage, std::string_view reference);

// Removes images older than days; returns how many went and logs the count when any did.
std::size_t ExpireImages(Storage& storage, unsigned days, std::int64_t now);

// Runs ExpireImages every hour on its own thread until destroyed. A storage error is logged
// and tried again at the next hour.
class Expirer
{
public:
    Expirer(Storage& storage, unsigned days);
    ~Expirer();
    Expirer(const Expirer&) = delete;
    Expirer& operator=(const Expirer&) = delete;

private:
    void run();

    Storage& storage_;
    unsigned days_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tarvo::server
