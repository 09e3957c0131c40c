#pragma once
// The HTTP layer: libmicrohttpd with a pool of epoll threads in front of HandleRequest.
#include "server/config.h"
#include "server/storage.h"

#include <chrono>
#include <memory>
#include <string>

namespace tarvo::server {

class HttpServer
{
public:
    // Binds and starts serving at once. Throws std::runtime_error, with a message fit for the
    // log, when the address cannot be had.
    HttpServer(const Config& config, Storage& storage);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // "127.0.0.1:8931" or "[::1]:8931", with the port actually bound.
    std::string BoundAddress() const;

    // Stops accepting, lets the requests in flight finish for up to grace, then closes every
    // connection. Idempotent; the destructor calls it with no grace.
    void Stop(std::chrono::milliseconds grace);

    struct Impl; // public only for the library's C callbacks

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace tarvo::server
