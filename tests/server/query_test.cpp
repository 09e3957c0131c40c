// The pure parsers in front of the handlers: query strings, routes, image references, and
// the log's escaping.
#include "protocol/token.h"
#include "server/log.h"
#include "server/query.h"
#include "server/routes.h"

#include <gtest/gtest.h>

namespace tarvo::server {
namespace {

TEST(ParseQuery, SplitsWithoutDecoding)
{
    struct Case
    {
        std::string_view query;
        QueryParameters expected;
    };
    const std::vector<Case> cases = {
        {"", {}},
        {"id=AAAAAAAAAAA=&annotation=", {{"id", "AAAAAAAAAAA="}, {"annotation", ""}}},
        // "+" and "%" belong to the annotation's own escape: passed on as they are.
        {"annotation=a+b%20c%u041f", {{"annotation", "a+b%20c%u041f"}}},
        {"a=1=2", {{"a", "1=2"}}},
        {"flag", {{"flag", ""}}},
        {"&&a=1&", {{"a", "1"}}},
        {"=x", {{"", "x"}}},
        {"A=1&a=2", {{"A", "1"}, {"a", "2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query);
        const auto parsed = ParseQuery(c.query);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, c.expected);
    }
}

TEST(ParseQuery, RefusesRepeatedNames)
{
    for (std::string_view query : {"id=a&id=b", "id=a&id=a", "a&a", "x=1&id=2&x=1"}) {
        SCOPED_TRACE(query);
        EXPECT_FALSE(ParseQuery(query).has_value());
    }
}

TEST(Routes, SplitRequestTarget)
{
    struct Case
    {
        std::string_view target, path, query;
    };
    for (const Case c : {
             Case{"/db/Post?id=x&annotation=", "/db/Post", "id=x&annotation="},
             Case{"/db/Post", "/db/Post", ""},
             Case{"/?", "/", ""},
             Case{"/a?b?c", "/a", "b?c"},
             Case{"http://host:80/db/Post?id=1", "/db/Post", "id=1"},
             Case{"https://host", "/", ""},
             Case{"/x://y", "/x://y", ""},
         }) {
        SCOPED_TRACE(c.target);
        const RequestTarget t = SplitRequestTarget(c.target);
        EXPECT_EQ(t.path, c.path);
        EXPECT_EQ(t.query, c.query);
    }
}

TEST(Routes, ParseRoute)
{
    const std::string link =
        protocol::LinkToken({1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12, 13, 14, 15});
    struct Case
    {
        std::string path;
        Target target;
        bool link;
    };
    const std::vector<Case> cases = {
        {"/", Target::ProductPage, false},
        {"/tray-menu.png", Target::TrayMenuPicture, false},
        {"/db/Post", Target::Post, false},
        {"/db/Version.Recommended", Target::RecommendedVersion, false},
        {"/db/Version.Minimum", Target::MinimumVersion, false},
        {"/db/" + link + ".htp", Target::ImagePage, true},
        {"/db/" + link + ".htm", Target::ImagePage, true},
        {"/db/" + link + ".png", Target::ImageFile, true},
        {"/db/" + link + ".jpg", Target::ImageFile, true},
        // The right shape but not a token: still the image's route, without a link.
        {"/db/" + link.substr(0, 19) + "+.htp", Target::ImagePage, false},
        {"/db/" + link + ".HTP", Target::Unknown, false},
        {"/db/" + link + ".html", Target::Unknown, false},
        {"/db/" + link.substr(1) + ".htp", Target::Unknown, false},
        {"/db/x/" + link + ".htp", Target::Unknown, false},
        {"/" + link + ".htp", Target::Unknown, false},
        {"/db/post", Target::Unknown, false},
        {"/db/Post/", Target::Unknown, false},
        {"/db", Target::Unknown, false},
        {"/db/", Target::Unknown, false},
        {"", Target::Unknown, false},
        {"//", Target::Unknown, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Route r = ParseRoute(c.path, "/db/");
        EXPECT_EQ(r.target, c.target);
        EXPECT_EQ(r.link.has_value(), c.link);
    }
    const Route r = ParseRoute("/db/" + link + ".htp", "/db/");
    ASSERT_TRUE(r.link.has_value());
    EXPECT_EQ(r.link->id, (protocol::ImageId{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.link->key, (protocol::ImageKey{9, 10, 11, 12, 13, 14, 15}));
    // A base of "/" still leaves "/" to the product page.
    EXPECT_EQ(ParseRoute("/", "/").target, Target::ProductPage);
    EXPECT_EQ(ParseRoute("/Post", "/").target, Target::Post);
}

TEST(Routes, ParseImageReference)
{
    const protocol::ImageId id{0xfb, 0xff, 0x00, 0x10, 0x20, 0x30, 0x40, 0x50};
    const std::string link = protocol::LinkToken(id, {1, 2, 3, 4, 5, 6, 7});
    const std::string idToken = protocol::IdToken(id);
    for (const std::string& text : {
             "https://shots.example.org/db/" + link + ".htp",
             "http://localhost:8931/db/" + link + ".htm?utm=1#top",
             "/db/" + link + ".png",
             link + ".jpg",
             link,
             idToken,
         }) {
        SCOPED_TRACE(text);
        const auto parsed = ParseImageReference(text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, id);
    }
    for (const std::string& text : std::vector<std::string>{
             std::string(),
             link.substr(1),
             idToken.substr(0, 11),
             link + ".gif",
             "https://shots.example.org/db/",
             idToken + ".htp",
             "-" + link.substr(1, 18) + "!",
         }) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(ParseImageReference(text).has_value());
    }
}

TEST(Log, EscapeControlKeepsOneEntryOnOneLine)
{
    EXPECT_EQ(EscapeControl("plain Привет"), "plain Привет");
    EXPECT_EQ(EscapeControl("a\nb\r\tc"), "a\\x0ab\\x0d\\x09c");
    EXPECT_EQ(EscapeControl(std::string("\0\x7f\\", 3)), "\\x00\\x7f\\\\");
}

TEST(Log, RedactTokensCutsEveryTokenShapedRun)
{
    const std::string link =
        protocol::LinkToken({1, 2, 3, 4, 5, 6, 7, 8}, {9, 10, 11, 12, 13, 14, 15});
    const std::string id = protocol::IdToken({1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(RedactTokens("GET /db/" + link + ".htp failed"), "GET /db/....htp failed");
    EXPECT_EQ(RedactTokens("Post?id=" + id + "&x"), "Post?...&x");
    EXPECT_EQ(RedactTokens("port 8931: Address in use"), "port 8931: Address in use");
    EXPECT_EQ(RedactTokens("abcdefghij"), "abcdefghij"); // 10: shorter than any token
}

} // namespace
} // namespace tarvo::server
