#pragma once
// The command line of tarvo-server: what to run and with which settings.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace tarvo::server {

struct Config
{
    std::string listenAddress = "127.0.0.1"; // numeric IPv4, or IPv6 without brackets
    std::uint16_t listenPort = 8931;         // 0: any free port
    std::string dataDir;                     // SQLite's folder; default from the environment
    std::string databaseUrl;                 // postgresql://...; empty: SQLite in dataDir
    // The client's largest upload is 524288 bytes of plaintext (524296 of ciphertext): twice
    // that leaves room without letting one post pin much memory.
    std::size_t maxBody = 1048576;
    std::string recommendedVersion = TARVO_VERSION;
    std::string minimumVersion = "1.0.0";
    unsigned expireDays = 0; // 0: images are kept until deleted
    std::string basePath = "/db/";
    unsigned maxConnections = 512;
    unsigned perIpConnections = 64; // 0: no per-address limit
    unsigned idleTimeout = 30;      // seconds without a byte either way
    // Seconds a request may take from the end of the previous one (or the connection's
    // start) to its last byte out: the idle time-out alone lets a byte-a-second client stay.
    unsigned requestTimeout = 60;
    unsigned threads = 0; // 0: chosen from the processor count
    // Bytes of request bodies held at once over all connections; a post beyond it gets 503.
    std::size_t uploadMemory = std::size_t{256} << 20;
    std::string siteDir; // the product page's pictures
};

enum class Command
{
    Serve,
    Delete,
    List,
    Help,
    Version,
};

struct Invocation
{
    Command command = Command::Serve;
    Config config;
    std::string reference;  // delete: the link, link token or id token
    std::int64_t since = 0; // list: seconds since the epoch
};

struct UsageError
{
    std::string message; // one line
};

// args without the program name.
std::variant<Invocation, UsageError> ParseCommandLine(std::span<const std::string_view> args);

std::string HelpText();

// $XDG_DATA_HOME/tarvo-server, else ~/.local/share/tarvo-server; empty when neither is known.
std::string DefaultDataDir();
// The installed share/tarvo-server/site next to the binary's prefix, else the source tree's
// res/site.
std::string DefaultSiteDir();

} // namespace tarvo::server
