// The command line: what each form gives, and one-line refusals for what it does not take.
#include "server/config.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace tarvo::server {
namespace {

std::variant<Invocation, UsageError> parse(std::vector<std::string_view> args)
{
    return ParseCommandLine(args);
}

Invocation parsed(std::vector<std::string_view> args)
{
    auto result = parse(std::move(args));
    if (auto* e = std::get_if<UsageError>(&result)) ADD_FAILURE() << e->message;
    return std::get_if<Invocation>(&result) ? std::get<Invocation>(result) : Invocation{};
}

TEST(CommandLine, Defaults)
{
    const Invocation run = parsed({"--data", "/srv/tarvo"});
    EXPECT_EQ(run.command, Command::Serve);
    const Config& c = run.config;
    EXPECT_EQ(c.listenAddress, "127.0.0.1");
    EXPECT_EQ(c.listenPort, 8931);
    EXPECT_EQ(c.dataDir, "/srv/tarvo");
    EXPECT_EQ(c.databaseUrl, "");
    EXPECT_EQ(c.maxBody, 1048576u);
    EXPECT_EQ(c.recommendedVersion, TARVO_VERSION);
    EXPECT_EQ(c.minimumVersion, "1.0.0");
    EXPECT_EQ(c.expireDays, 0u);
    EXPECT_EQ(c.basePath, "/db/");
    EXPECT_FALSE(c.siteDir.empty());
}

TEST(CommandLine, DataFolderFollowsTheEnvironment)
{
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old != nullptr ? old : "";
    setenv("XDG_DATA_HOME", "/x/share", 1);
    EXPECT_EQ(parsed({}).config.dataDir, "/x/share/tarvo-server");
    setenv("XDG_DATA_HOME", "relative/is/ignored", 1);
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        EXPECT_EQ(parsed({}).config.dataDir, std::string(home) + "/.local/share/tarvo-server");
    }
    if (old != nullptr)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

TEST(CommandLine, EveryOption)
{
    const Invocation run = parsed({"serve",
                                   "--listen",
                                   "0.0.0.0:0",
                                   "--data=/d",
                                   "--database",
                                   "postgresql:///tarvo?host=/run/pg",
                                   "--max-body",
                                   "2048",
                                   "--recommended",
                                   "2.0.1",
                                   "--minimum=1.6.0",
                                   "--expire-days",
                                   "30",
                                   "--base-path",
                                   "/shots",
                                   "--max-connections",
                                   "100",
                                   "--per-ip-connections",
                                   "0",
                                   "--timeout",
                                   "5",
                                   "--request-timeout",
                                   "20",
                                   "--threads",
                                   "3",
                                   "--upload-memory",
                                   "16777216",
                                   "--site-dir",
                                   "/s"});
    const Config& c = run.config;
    EXPECT_EQ(c.listenAddress, "0.0.0.0");
    EXPECT_EQ(c.listenPort, 0);
    EXPECT_EQ(c.dataDir, "/d");
    EXPECT_EQ(c.databaseUrl, "postgresql:///tarvo?host=/run/pg");
    EXPECT_EQ(c.maxBody, 2048u);
    EXPECT_EQ(c.recommendedVersion, "2.0.1");
    EXPECT_EQ(c.minimumVersion, "1.6.0");
    EXPECT_EQ(c.expireDays, 30u);
    EXPECT_EQ(c.basePath, "/shots/");
    EXPECT_EQ(c.maxConnections, 100u);
    EXPECT_EQ(c.perIpConnections, 0u);
    EXPECT_EQ(c.idleTimeout, 5u);
    EXPECT_EQ(c.requestTimeout, 20u);
    EXPECT_EQ(c.threads, 3u);
    EXPECT_EQ(c.uploadMemory, 16777216u);
    EXPECT_EQ(c.siteDir, "/s");

    const Invocation v6 = parsed({"--listen", "[::1]:8080", "--data", "/d"});
    EXPECT_EQ(v6.config.listenAddress, "::1");
    EXPECT_EQ(v6.config.listenPort, 8080);
}

TEST(CommandLine, AdminCommands)
{
    const Invocation del = parsed({"delete", "https://h/db/x.htp", "--data", "/d"});
    EXPECT_EQ(del.command, Command::Delete);
    EXPECT_EQ(del.reference, "https://h/db/x.htp");

    EXPECT_EQ(parsed({"list", "--data", "/d"}).since, 0);
    EXPECT_EQ(parsed({"list", "--since", "2024-03-01", "--data", "/d"}).since, 1709251200);
    EXPECT_EQ(parsed({"--data", "/d", "list", "--since=1700000000"}).since, 1700000000);

    EXPECT_EQ(parsed({"--help"}).command, Command::Help);
    EXPECT_EQ(parsed({"list", "--version"}).command, Command::Version);
}

TEST(CommandLine, BadUsageIsOneLine)
{
    const std::vector<std::vector<std::string_view>> cases = {
        {"start"},
        {"serve", "extra"},
        {"delete"},
        {"delete", "a", "b"},
        {"--bogus"},
        {"--listen"},
        {"--listen", "127.0.0.1"},
        {"--listen", "localhost:80"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", "[::1]8080"},
        {"--max-body", "-1"},
        {"--max-body", "4"},
        {"--max-body", "12k"},
        {"--expire-days", "x"},
        {"--timeout", "0"},
        {"--threads", "0"},
        {"--recommended", "1.2"},
        {"--recommended", "1.2.3.4"},
        {"--minimum", "1.2.3\n"},
        {"--minimum", "1234567.1234567.1"},
        {"--base-path", "db/"},
        {"--base-path", "/d b/"},
        {"--base-path", "/db?/"},
        {"--database", "mysql://x"},
        {"--data="},
        {"--since", "2024-01-01"},
        {"list", "--since", "2024-02-30"},
        {"list", "--since", "yesterday"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (auto a : args)
            joined += std::string(a) + " ";
        SCOPED_TRACE(joined);
        auto result = parse(args);
        ASSERT_TRUE(std::holds_alternative<UsageError>(result));
        const std::string& message = std::get<UsageError>(result).message;
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

} // namespace
} // namespace tarvo::server
