// tarvo-server: the web service that stores Tarvo's encrypted screenshots and shows them to
// whoever holds the link.
#include "server/admin.h"
#include "server/config.h"
#include "server/http_server.h"
#include "server/log.h"
#include "server/storage.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace tarvo::server;

// Requests in flight at SIGTERM get this long to finish: far more than a post needs, and well
// inside the 90 s a service manager waits by default.
constexpr auto kShutdownGrace = std::chrono::seconds(10);

// Every connection is a descriptor; the soft limit is often 1024, below --max-connections.
void raiseDescriptorLimit(unsigned connections)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < connections + 64)
        Log("warning: the descriptor limit (" + std::to_string(limit.rlim_cur) +
            ") is close to --max-connections");
}

int serve(const Config& config)
{
    // Blocked before any thread starts, so every thread inherits the mask and the signals
    // reach sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit(config.maxConnections);

    std::unique_ptr<Storage> storage;
    try {
        storage = OpenStorage(config.databaseUrl, config.dataDir);
    } catch (const StorageError& e) {
        Log(std::string("cannot open the storage: ") + RedactTokens(e.what()));
        return 1;
    }
    // Before the first request, so nothing past its time is ever served.
    if (config.expireDays > 0) {
        try {
            ExpireImages(*storage, config.expireDays,
                         static_cast<std::int64_t>(std::time(nullptr)));
        } catch (const StorageError& e) {
            Log(std::string("expiry failed: ") + RedactTokens(e.what()));
            return 1;
        }
    }

    std::optional<HttpServer> server;
    try {
        server.emplace(config, *storage);
    } catch (const std::exception& e) {
        Log(e.what());
        return 1;
    }
    std::optional<Expirer> expirer;
    if (config.expireDays > 0) expirer.emplace(*storage, config.expireDays);

    const std::string address = server->BoundAddress();
    std::printf("listening on %s\n", address.c_str());
    std::fflush(stdout);
    Log("listening on " + address);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    Log(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
    server->Stop(kShutdownGrace);
    expirer.reset();
    server.reset();
    storage.reset();
    Log("stopped");
    return 0;
}

int withStorage(const Config& config, int (*body)(Storage&, const Invocation&),
                const Invocation& run)
{
    try {
        const std::unique_ptr<Storage> storage = OpenStorage(config.databaseUrl, config.dataDir);
        return body(*storage, run);
    } catch (const StorageError& e) {
        std::cerr << "tarvo-server: " << RedactTokens(e.what()) << '\n';
        return 1;
    }
}

int listCommand(Storage& storage, const Invocation& run)
{
    ListImages(storage, run.since, std::cout);
    std::cout.flush();
    return 0;
}

int deleteCommand(Storage& storage, const Invocation& run)
{
    switch (DeleteImage(storage, run.reference)) {
    case DeleteResult::Deleted:
        std::cout << "deleted\n";
        return 0;
    case DeleteResult::NotFound:
        std::cout << "not found\n";
        return 1;
    case DeleteResult::NotAReference:
        break;
    }
    std::cerr << "tarvo-server: not a link, link token or id token\n";
    return 2;
}

} // namespace

namespace {

int run(int argc, char** argv)
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = ParseCommandLine(args);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        std::cerr << "tarvo-server: " << error->message
                  << " (tarvo-server --help lists the options)\n";
        return 2;
    }
    const Invocation& run = std::get<Invocation>(parsed);
    switch (run.command) {
    case Command::Help:
        std::cout << HelpText();
        return 0;
    case Command::Version:
        std::cout << "tarvo-server " TARVO_VERSION "\n";
        return 0;
    case Command::Serve:
        return serve(run.config);
    case Command::List:
        return withStorage(run.config, &listCommand, run);
    case Command::Delete:
        return withStorage(run.config, &deleteCommand, run);
    }
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        // Storage and start-up failures are reported where they happen; this is the last net.
        std::cerr << "tarvo-server: " << e.what() << "\n";
        return 1;
    }
}
