// The administrator's commands and expiry, through the real binary over a store the test
// fills directly.
#include "server/server_process.h"
#include "server/storage.h"
#include "server/test_images.h"

#include <ctime>
#include <gtest/gtest.h>

namespace tarvo::server {
namespace {

using test::MakeTestImage;
using test::RunServerCommand;
using test::TestImage;

class AdminTest : public ::testing::Test
{
protected:
    void Store(const TestImage& image, std::int64_t createdAt, const std::string& title = "")
    {
        const auto storage = OpenStorage("", data_.Path());
        StoredImage stored;
        stored.id = image.id;
        stored.cipher = image.cipher;
        stored.annotation = title;
        stored.createdAt = createdAt;
        ASSERT_EQ(storage->Put(stored), PutResult::Stored);
    }
    test::CommandResult Run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"--data", data_.Path()});
        return RunServerCommand(args);
    }

    test::TempDir data_;
};

TEST_F(AdminTest, ListShowsOneLinePerImageOldestFirst)
{
    const TestImage a = MakeTestImage(1);
    const TestImage b = MakeTestImage(2, test::ImageKind::Jpeg, 77);
    Store(b, 1709337600, "second\nline\x1b[31m"); // 2024-03-02 00:00:00
    Store(a, 1709251199, "Первый");               // 2024-02-29 23:59:59

    const auto all = Run({"list"});
    EXPECT_EQ(all.exitCode, 0) << all.err;
    EXPECT_EQ(all.out, a.idToken.substr(0, 6) + " 2024-02-29 23:59:59 " +
                           std::to_string(a.cipher.size()) + " Первый\n" + b.idToken.substr(0, 6) +
                           " 2024-03-02 00:00:00 80 " + "second\\x0aline\\x1b[31m\n");
    for (const char* since : {"2024-03-01", "1709251200"}) {
        const auto recent = Run({"list", "--since", since});
        EXPECT_EQ(recent.exitCode, 0);
        EXPECT_EQ(recent.out.rfind(b.idToken.substr(0, 6), 0), 0u) << recent.out;
        EXPECT_EQ(std::count(recent.out.begin(), recent.out.end(), '\n'), 1);
    }
    EXPECT_EQ(Run({"list", "--since", "2030-01-01"}).out, "");
}

TEST_F(AdminTest, DeleteTakesALinkATokenOrAnId)
{
    const std::int64_t now = std::time(nullptr);
    const TestImage byUrl = MakeTestImage(10);
    const TestImage byLink = MakeTestImage(11);
    const TestImage byId = MakeTestImage(12);
    const TestImage kept = MakeTestImage(13);
    for (const TestImage* image : {&byUrl, &byLink, &byId, &kept})
        Store(*image, now);

    const std::vector<std::string> references = {
        "https://shots.example.org/db/" + byUrl.linkToken + ".htp",
        byLink.linkToken,
        byId.idToken,
    };
    for (const std::string& reference : references) {
        SCOPED_TRACE(reference);
        const auto deleted = Run({"delete", reference});
        EXPECT_EQ(deleted.exitCode, 0);
        EXPECT_EQ(deleted.out, "deleted\n");
        const auto again = Run({"delete", reference});
        EXPECT_EQ(again.exitCode, 1);
        EXPECT_EQ(again.out, "not found\n");
    }
    const auto left = Run({"list"});
    EXPECT_EQ(left.out.substr(0, 6), kept.idToken.substr(0, 6));
    EXPECT_EQ(std::count(left.out.begin(), left.out.end(), '\n'), 1);
}

TEST_F(AdminTest, BadUsageExitsWithTwoAndOneLine)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"delete", "not-a-token"},
             {"delete"},
             {"frobnicate"},
             {"list", "--since", "soon"},
             {"--max-body", "many"},
         }) {
        SCOPED_TRACE(args[0]);
        const auto result = Run(args);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
    const auto help = RunServerCommand({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--expire-days"), std::string::npos);
    EXPECT_EQ(RunServerCommand({"--version"}).out, "tarvo-server " TARVO_VERSION "\n");
}

TEST_F(AdminTest, ExpiryRemovesOldImagesAtStart)
{
    const std::int64_t now = std::time(nullptr);
    const TestImage old = MakeTestImage(20);
    const TestImage young = MakeTestImage(21);
    Store(old, now - 3 * 86400);
    Store(young, now - 3600);

    test::ServerProcess server(data_.Path(), {"--expire-days", "1"});
    ASSERT_TRUE(server.Started()) << server.Error();
    const auto list = Run({"list"});
    EXPECT_EQ(list.out.substr(0, 6), young.idToken.substr(0, 6));
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 1);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_NE(server.Stderr().find("expired 1 image(s) older than 1 day(s)"), std::string::npos);
}

TEST_F(AdminTest, WithoutExpiryNothingIsRemoved)
{
    const TestImage ancient = MakeTestImage(30);
    Store(ancient, 86400);
    test::ServerProcess server(data_.Path());
    ASSERT_TRUE(server.Started()) << server.Error();
    const std::string listed = Run({"list"}).out;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 1);
    EXPECT_EQ(server.Stop(), 0);
}

} // namespace
} // namespace tarvo::server
