#pragma once
// A small pool of database connections shared by the request threads: a connection is lent to
// one thread for one call and then given back. Connections are opened on first need, up to
// the pool's size, and live as long as the pool.
#include "server/storage.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::server {

template <class Connection> class ConnectionPool
{
public:
    using Opener = std::function<std::unique_ptr<Connection>()>;
    // Run on every connection before it is lent; a connection it fails on goes back as it is.
    using Preparer = std::function<void(Connection&)>;

    // name starts the message of a wait that runs out ("<name>: all 8 connections stayed busy").
    ConnectionPool(std::string name, std::size_t size, Opener open, Preparer prepare = {})
        : name_(std::move(name)), size_(size), open_(std::move(open)), prepare_(std::move(prepare))
    {
    }

    // A connection opened elsewhere (at start-up) joins the idle ones.
    void Add(std::unique_ptr<Connection> connection)
    {
        const std::lock_guard lock(mutex_);
        idle_.push_back(std::move(connection));
        ++opened_;
    }

    // A connection borrowed for one call: an idle one if there is one, a new one while fewer
    // than the pool's size are open, otherwise the next one given back. Without a limit the
    // wait is as long as it takes; with one, running out throws StorageError.
    class Lease
    {
    public:
        explicit Lease(ConnectionPool& pool,
                       std::optional<std::chrono::steady_clock::duration> limit = std::nullopt)
            : pool_(pool)
        {
            {
                std::unique_lock lock(pool_.mutex_);
                const auto ready = [&] {
                    return !pool_.idle_.empty() || pool_.opened_ < pool_.size_;
                };
                if (!limit)
                    pool_.available_.wait(lock, ready);
                else if (!pool_.available_.wait_for(lock, *limit, ready))
                    throw StorageError(pool_.name_ + ": all " + std::to_string(pool_.size_) +
                                       " connections stayed busy");
                if (!pool_.idle_.empty()) {
                    connection_ = std::move(pool_.idle_.back());
                    pool_.idle_.pop_back();
                } else {
                    ++pool_.opened_;
                }
            }
            try {
                if (!connection_) connection_ = pool_.open_();
                if (pool_.prepare_) pool_.prepare_(*connection_);
            } catch (...) {
                release();
                throw;
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { release(); }
        Connection* operator->() const { return connection_.get(); }

    private:
        void release()
        {
            {
                const std::lock_guard lock(pool_.mutex_);
                if (connection_)
                    pool_.idle_.push_back(std::move(connection_));
                else
                    --pool_.opened_;
            }
            pool_.available_.notify_one();
        }

        ConnectionPool& pool_;
        std::unique_ptr<Connection> connection_;
    };

private:
    const std::string name_;
    const std::size_t size_;
    const Opener open_;
    const Preparer prepare_;
    std::mutex mutex_;
    std::condition_variable available_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::size_t opened_ = 0; // idle and lent
};

} // namespace tarvo::server
