#include "server/config.h"

#include "server/log.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

namespace tarvo::server {

namespace {

template <typename T> std::optional<T> readNumber(std::string_view text, T min, T max)
{
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// What the client reads with "%i.%i.%i" into a 15-byte buffer: three plain decimal numbers.
bool isVersionText(std::string_view text)
{
    if (text.empty() || text.size() > 15) return false;
    int parts = 1;
    bool digit = false;
    for (const char c : text) {
        if (c == '.') {
            if (!digit) return false;
            ++parts;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            digit = true;
        } else {
            return false;
        }
    }
    return digit && parts == 3;
}

bool setListen(std::string_view text, Config& config)
{
    std::string_view host;
    std::string_view port;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, std::string(host).c_str(), &a6) != 1) return false;
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos) return false;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        in_addr a4{};
        if (inet_pton(AF_INET, std::string(host).c_str(), &a4) != 1) return false;
    }
    const auto number = readNumber<std::uint16_t>(port, 0, 65535);
    if (!number) return false;
    config.listenAddress = std::string(host);
    config.listenPort = *number;
    return true;
}

bool setBasePath(std::string_view text, Config& config)
{
    if (!text.starts_with('/')) return false;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f || c == '?' || c == '#' || c == '%') return false;
    }
    config.basePath = std::string(text);
    if (!config.basePath.ends_with('/')) config.basePath += '/';
    return true;
}

// "YYYY-MM-DD" (midnight UTC) or seconds since the epoch.
std::optional<std::int64_t> readSince(std::string_view text)
{
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        const auto year = readNumber<int>(text.substr(0, 4), 1970, 9999);
        const auto month = readNumber<int>(text.substr(5, 2), 1, 12);
        const auto day = readNumber<int>(text.substr(8, 2), 1, 31);
        if (!year || !month || !day) return std::nullopt;
        std::tm tm{};
        tm.tm_year = *year - 1900;
        tm.tm_mon = *month - 1;
        tm.tm_mday = *day;
        const std::time_t t = timegm(&tm);
        if (tm.tm_mday != *day) return std::nullopt; // 2024-02-30 rolled over
        return static_cast<std::int64_t>(t);
    }
    return readNumber<std::int64_t>(text, 0, std::numeric_limits<std::int64_t>::max());
}

std::string optionError(std::string_view name, std::string_view value)
{
    return "invalid value for " + std::string(name) + ": \"" + EscapeControl(value) + "\"";
}

} // namespace

std::string DefaultDataDir()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/tarvo-server";
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0')
        return std::string(home) + "/.local/share/tarvo-server";
    return {};
}

std::string DefaultSiteDir()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = exe.parent_path().parent_path() / "share/tarvo-server/site";
        if (fs::is_directory(installed, ec)) return installed.string();
    }
    // A build that is not installed runs from inside the source tree it was compiled from.
    return (fs::path(__FILE__).parent_path().parent_path() / "res/site").string();
}

std::variant<Invocation, UsageError> ParseCommandLine(std::span<const std::string_view> args)
{
    Invocation run;
    Config& c = run.config;
    bool commandSeen = false;
    bool referenceSeen = false;
    bool sinceSeen = false;
    std::optional<std::string> dataDir;
    std::optional<std::string> siteDir;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (!arg.starts_with("--")) {
            if (!commandSeen) {
                commandSeen = true;
                if (arg == "serve")
                    run.command = Command::Serve;
                else if (arg == "delete")
                    run.command = Command::Delete;
                else if (arg == "list")
                    run.command = Command::List;
                else
                    return UsageError{"unknown command \"" + EscapeControl(arg) + "\""};
                continue;
            }
            if (run.command == Command::Delete && !referenceSeen) {
                referenceSeen = true;
                run.reference = std::string(arg);
                continue;
            }
            return UsageError{"unexpected argument \"" + EscapeControl(arg) + "\""};
        }

        if (arg == "--help") return Invocation{Command::Help, {}, {}, 0};
        if (arg == "--version") return Invocation{Command::Version, {}, {}, 0};

        std::string_view name = arg;
        std::optional<std::string_view> inlineValue;
        if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        auto value = [&]() -> std::optional<std::string_view> {
            if (inlineValue) return inlineValue;
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        auto number = [&](auto& field, auto min, auto max) -> std::optional<UsageError> {
            using T = std::remove_reference_t<decltype(field)>;
            const auto v = value();
            if (!v) return UsageError{std::string(name) + " needs a value"};
            const auto n = readNumber<T>(*v, static_cast<T>(min), static_cast<T>(max));
            if (!n) return UsageError{optionError(name, *v)};
            field = *n;
            return std::nullopt;
        };

        std::optional<UsageError> error;
        if (name == "--max-body") {
            error = number(c.maxBody, 8, std::size_t{1} << 30);
        } else if (name == "--expire-days") {
            error = number(c.expireDays, 0, 36500);
        } else if (name == "--max-connections") {
            error = number(c.maxConnections, 1, 100000);
        } else if (name == "--per-ip-connections") {
            error = number(c.perIpConnections, 0, 100000);
        } else if (name == "--timeout") {
            error = number(c.idleTimeout, 1, 86400);
        } else if (name == "--request-timeout") {
            error = number(c.requestTimeout, 1, 86400);
        } else if (name == "--threads") {
            error = number(c.threads, 1, 256);
        } else if (name == "--upload-memory") {
            error = number(c.uploadMemory, std::size_t{1} << 20, std::size_t{1} << 40);
        } else {
            const auto v = value();
            if (!v) {
                if (name == "--listen" || name == "--data" || name == "--database" ||
                    name == "--recommended" || name == "--minimum" || name == "--base-path" ||
                    name == "--site-dir" || name == "--since")
                    return UsageError{std::string(name) + " needs a value"};
                return UsageError{"unknown option " + EscapeControl(name)};
            }
            if (name == "--listen") {
                if (!setListen(*v, c)) error = UsageError{optionError(name, *v)};
            } else if (name == "--data") {
                if (v->empty()) error = UsageError{optionError(name, *v)};
                dataDir = std::string(*v);
            } else if (name == "--database") {
                c.databaseUrl = std::string(*v);
            } else if (name == "--recommended" || name == "--minimum") {
                if (!isVersionText(*v)) error = UsageError{optionError(name, *v)};
                (name == "--recommended" ? c.recommendedVersion : c.minimumVersion) =
                    std::string(*v);
            } else if (name == "--base-path") {
                if (!setBasePath(*v, c)) error = UsageError{optionError(name, *v)};
            } else if (name == "--site-dir") {
                siteDir = std::string(*v);
            } else if (name == "--since") {
                const auto since = readSince(*v);
                if (!since) error = UsageError{optionError(name, *v)};
                run.since = since.value_or(0);
                sinceSeen = true;
            } else {
                return UsageError{"unknown option " + EscapeControl(name)};
            }
        }
        if (error) return *error;
    }

    if (sinceSeen && run.command != Command::List)
        return UsageError{"--since belongs to the list command"};
    if (run.command == Command::Delete && !referenceSeen)
        return UsageError{"delete needs a link or an id"};
    if (!c.databaseUrl.empty() && !c.databaseUrl.starts_with("postgresql://") &&
        !c.databaseUrl.starts_with("postgres://"))
        return UsageError{"--database takes a postgresql:// URL"};
    c.dataDir = dataDir ? *dataDir : DefaultDataDir();
    if (c.databaseUrl.empty() && c.dataDir.empty())
        return UsageError{"no --data folder given and neither XDG_DATA_HOME nor HOME is set"};
    c.siteDir = siteDir ? *siteDir : DefaultSiteDir();
    return run;
}

std::string HelpText()
{
    return R"(Usage: tarvo-server [serve] [options]
       tarvo-server delete <link | link token | id token> [--data DIR | --database URL]
       tarvo-server list [--since YYYY-MM-DD | --since SECONDS] [--data DIR | --database URL]

The Tarvo web service: stores the encrypted screenshots that Tarvo posts and shows them to
whoever has the link (which alone carries the key).

Options:
  --listen ADDR:PORT        address to listen on (default 127.0.0.1:8931; port 0: any free
                            port; IPv6 as [ADDR]:PORT)
  --data DIR                folder of the SQLite database (default
                            $XDG_DATA_HOME/tarvo-server, i.e. ~/.local/share/tarvo-server)
  --database URL            postgresql://... to use PostgreSQL instead of SQLite
  --max-body BYTES          largest accepted post (default 1048576)
  --recommended VERSION     Version.Recommended (default )" TARVO_VERSION R"()
  --minimum VERSION         Version.Minimum (default 1.0.0)
  --expire-days N           delete images older than N days, at start and hourly (default 0:
                            never)
  --base-path PATH          where the service's names live (default /db/)
  --max-connections N       connections at once (default 512)
  --per-ip-connections N    connections at once from one address (default 64; 0: no limit)
  --timeout SECONDS         drop a connection idle this long (default 30)
  --request-timeout SECONDS drop a request not done this long after it could start
                            (default 60)
  --threads N               worker threads (default: the processor count, at least 4)
  --upload-memory BYTES     request bodies held at once, all connections together
                            (default 268435456)
  --site-dir DIR            folder of the product page's pictures
  --help                    show this text
  --version                 show the version

Log lines go to stderr. SIGTERM or SIGINT: stop accepting, finish the requests in flight,
exit.
)";
}

} // namespace tarvo::server
