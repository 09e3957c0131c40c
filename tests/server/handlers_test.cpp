// The request handlers in process, over a real SQLite store in a temporary folder.
#include "protocol/annotation.h"
#include "protocol/cipher.h"
#include "protocol/token.h"
#include "server/handlers.h"
#include "server/pages.h"
#include "server/server_process.h"
#include "server/test_images.h"

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <nettle/sha2.h>

namespace tarvo::server {
namespace {

using test::ImageKind;
using test::MakeTestImage;
using test::TestImage;

class HandlersTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        storage_ = OpenStorage("", data_.Path());
        config_.dataDir = data_.Path();
        config_.siteDir = site_.Path();
    }

    Response Get(const std::string& target, const std::string& method = "GET")
    {
        return HandleRequest({method, target, {}}, *storage_, config_);
    }
    Response Post(const std::string& target, std::string body)
    {
        return HandleRequest({"POST", target, std::move(body)}, *storage_, config_);
    }
    Response PostImage(const TestImage& image, const std::string& escapedTitle = "")
    {
        return Post("/db/Post?id=" + image.idToken + "&annotation=" + escapedTitle, image.cipher);
    }

    void WriteSitePicture(const std::string& bytes)
    {
        std::ofstream(site_.Path() + "/tray-menu.png", std::ios::binary) << bytes;
    }

    test::TempDir data_;
    test::TempDir site_;
    Config config_;
    std::unique_ptr<Storage> storage_;
};

std::string styleOf(const std::string& html)
{
    const std::size_t open = html.find("<style>");
    const std::size_t close = html.find("</style>");
    if (open == std::string::npos || close == std::string::npos) return {};
    return html.substr(open + 7, close - open - 7);
}

std::string sha256Base64(const std::string& text)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, text.size(), reinterpret_cast<const std::uint8_t*>(text.data()));
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    return protocol::EncodeBase64(digest, sizeof digest).value();
}

TEST_F(HandlersTest, PostIsValidatedBeforeAnythingIsStored)
{
    const TestImage image = MakeTestImage(1);
    const std::string id = image.idToken;
    const std::string good = image.cipher;
    struct Case
    {
        const char* what;
        std::string query;
        std::string body;
        unsigned status;
    };
    const std::string tooLarge(config_.maxBody + 8, 'x');
    const std::vector<Case> cases = {
        {"id of 11 characters", "id=" + id.substr(0, 11) + "&annotation=", good, 400},
        {"id of 13 characters", "id=" + id + "A&annotation=", good, 400},
        {"id without its =", "id=" + id.substr(0, 11) + "A&annotation=", good, 400},
        {"standard alphabet +", "id=+" + id.substr(1) + "&annotation=", good, 400},
        {"standard alphabet /", "id=/" + id.substr(1) + "&annotation=", good, 400},
        {"not an alphabet character", "id=*" + id.substr(1) + "&annotation=", good, 400},
        {"stray bits in the last character", "id=AAAAAAAAAAB=&annotation=", good, 400},
        {"the link token instead", "id=" + image.linkToken + "&annotation=", good, 400},
        {"id escaped", "id=" + id.substr(0, 11) + "%3D&annotation=", good, 400},
        {"no id", "annotation=x", good, 400},
        {"two ids", "id=" + id + "&id=" + id + "&annotation=", good, 400},
        {"two titles", "id=" + id + "&annotation=a&annotation=b", good, 400},
        {"escape %zz", "id=" + id + "&annotation=%zz", good, 400},
        {"escape cut short", "id=" + id + "&annotation=ab%4", good, 400},
        {"escape %u12", "id=" + id + "&annotation=%u12", good, 400},
        {"lone high surrogate", "id=" + id + "&annotation=%ud800", good, 400},
        {"lone low surrogate", "id=" + id + "&annotation=%udc00x", good, 400},
        {"byte above 0x7f", "id=" + id + "&annotation=\xd0\x9f", good, 400},
        {"empty body", "id=" + id + "&annotation=", "", 400},
        {"body of 7 bytes", "id=" + id + "&annotation=", good.substr(0, 7), 400},
        {"body of 9 bytes", "id=" + id + "&annotation=", good.substr(0, 9), 400},
        {"body over the limit", "id=" + id + "&annotation=", tooLarge, 413},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Response r = Post("/db/Post?" + c.query, c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.body, "OK");
        EXPECT_FALSE(r.body.empty());
        EXPECT_FALSE(storage_->Get(image.id).has_value());
    }
    EXPECT_TRUE(storage_->List(0).empty());
}

TEST_F(HandlersTest, PostAcceptsWhatTheClientSends)
{
    struct Case
    {
        const char* what;
        std::string title; // escaped
        std::string suffix;
        std::size_t size;
        std::string stored;
    };
    const std::vector<Case> cases = {
        {"empty title", "", "", 1000, ""},
        {"blank, %xx and %uxxxx", "Hello+World%21+%u041f%u0440%u0438", "", 1000,
         "Hello World! При"},
        {"surrogate pair", "%ud83d%ude00", "", 1000, "\xf0\x9f\x98\x80"},
        {"upper-case hex digits", "%2D%u041F", "", 1000, "-П"},
        {"unknown parameters ignored", "x", "&v=2&flag", 1000, "x"},
        // 1048568 bytes of plaintext make exactly the 1048576-byte limit of ciphertext.
        {"exactly the limit", "", "", config_.maxBody - 8, ""},
    };
    std::uint64_t seed = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const TestImage image = MakeTestImage(seed++, ImageKind::Png, c.size);
        const std::int64_t before = std::time(nullptr);
        const Response r = Post(
            "/db/Post?id=" + image.idToken + "&annotation=" + c.title + c.suffix, image.cipher);
        EXPECT_EQ(r.status, 200u);
        EXPECT_EQ(r.body, "OK"); // exactly: no line end
        const auto stored = storage_->Get(image.id);
        ASSERT_TRUE(stored.has_value());
        EXPECT_EQ(stored->cipher, image.cipher);
        EXPECT_EQ(stored->annotation, c.stored);
        EXPECT_GE(stored->createdAt, before);
        EXPECT_LE(stored->createdAt, static_cast<std::int64_t>(std::time(nullptr)));
    }
    // The client always sends "&annotation="; without it the title is empty.
    const TestImage bare = MakeTestImage(seed++);
    EXPECT_EQ(Post("/db/Post?id=" + bare.idToken, bare.cipher).body, "OK");
    EXPECT_EQ(storage_->Get(bare.id)->annotation, "");
}

TEST_F(HandlersTest, SecondPostWithTheSameIdIsRefusedAndChangesNothing)
{
    const TestImage first = MakeTestImage(7);
    ASSERT_EQ(PostImage(first, "first").body, "OK");
    TestImage second = MakeTestImage(8);
    second.idToken = first.idToken;
    const Response again = PostImage(second, "second");
    EXPECT_EQ(again.status, 409u);
    const auto stored = storage_->Get(first.id);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->cipher, first.cipher);
    EXPECT_EQ(stored->annotation, "first");
}

TEST_F(HandlersTest, PostAnsweredOnlyToPostMethod)
{
    const TestImage image = MakeTestImage(9);
    const Response r = HandleRequest(
        {"GET", "/db/Post?id=" + image.idToken + "&annotation=", image.cipher}, *storage_, config_);
    EXPECT_EQ(r.status, 405u);
    ASSERT_NE(r.Header("Allow"), nullptr);
    EXPECT_EQ(*r.Header("allow"), "POST");
    EXPECT_FALSE(storage_->Get(image.id).has_value());
}

TEST_F(HandlersTest, PageAndPictureFollowTheDecryptedType)
{
    struct Case
    {
        ImageKind kind;
        const char* extension;
        const char* type;
    };
    for (const Case c :
         {Case{ImageKind::Png, "png", "image/png"}, Case{ImageKind::Jpeg, "jpg", "image/jpeg"}}) {
        SCOPED_TRACE(c.type);
        const TestImage image = MakeTestImage(c.kind == ImageKind::Png ? 20 : 21, c.kind, 5000);
        ASSERT_EQ(PostImage(image).body, "OK");
        const std::string file = image.linkToken + "." + c.extension;
        // The link's .htp or .htm says what the client encoded; the bytes decide.
        for (const char* page : {".htp", ".htm"}) {
            const Response r = Get("/db/" + image.linkToken + page);
            EXPECT_EQ(r.status, 200u);
            EXPECT_EQ(*r.Header("Content-Type"), "text/html; charset=utf-8");
            EXPECT_NE(r.body.find("<html lang=\"ru\">"), std::string::npos);
            EXPECT_NE(r.body.find("<img src=\"" + file + "\""), std::string::npos);
            EXPECT_NE(r.body.find("<a href=\"" + file + "\""), std::string::npos);
            EXPECT_NE(r.body.find("download=\"tarvo-" + image.idToken.substr(0, 6) + "." +
                                  c.extension + "\""),
                      std::string::npos);
            EXPECT_NE(r.body.find("<title>Снимок экрана</title>"), std::string::npos);
            EXPECT_EQ(r.body.find("<script"), std::string::npos);
        }
        for (const char* ext : {".png", ".jpg"}) {
            const Response r = Get("/db/" + image.linkToken + ext);
            EXPECT_EQ(r.status, 200u);
            EXPECT_EQ(r.body, image.plain);
            EXPECT_EQ(*r.Header("Content-Type"), c.type);
            EXPECT_EQ(*r.Header("Content-Disposition"), "inline");
        }
        // HEAD is answered like GET; the HTTP layer leaves out the body.
        EXPECT_EQ(Get("/db/" + file, "HEAD").status, 200u);
        EXPECT_EQ(Get("/db/" + file, "DELETE").status, 405u);
    }
}

TEST_F(HandlersTest, TitleIsShownAsText)
{
    const TestImage image = MakeTestImage(30);
    const std::u16string title = u"<script>alert(\"x\")</script> & 'ü'";
    ASSERT_EQ(PostImage(image, protocol::EscapeAnnotation(title)).body, "OK");
    const Response r = Get("/db/" + image.linkToken + ".htp");
    ASSERT_EQ(r.status, 200u);
    EXPECT_EQ(r.body.find("<script"), std::string::npos);
    const std::string shown =
        "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#39;\xc3\xbc&#39;";
    EXPECT_NE(r.body.find("<title>" + shown + "</title>"), std::string::npos);
    EXPECT_NE(r.body.find("<h1>" + shown + "</h1>"), std::string::npos);
    EXPECT_NE(r.body.find("alt=\"" + shown + "\""), std::string::npos);
}

TEST_F(HandlersTest, EveryUnshowableImageGetsTheSameNotFound)
{
    const TestImage png = MakeTestImage(40);
    const TestImage notImage = MakeTestImage(41, ImageKind::NotAnImage);
    const TestImage unknown = MakeTestImage(42);
    ASSERT_EQ(PostImage(png).body, "OK");
    ASSERT_EQ(PostImage(notImage).body, "OK");
    protocol::ImageKey wrongKey = png.key;
    wrongKey[3] ^= 0x10;
    const std::string wrong = protocol::LinkToken(png.id, wrongKey);

    const Response reference = Get("/db/" + unknown.linkToken + ".htp");
    EXPECT_EQ(reference.status, 404u);
    for (const std::string& target : std::vector<std::string>{
             "/db/" + unknown.linkToken + ".png",
             "/db/" + wrong + ".htp",
             "/db/" + wrong + ".png",
             "/db/" + notImage.linkToken + ".htp",
             "/db/" + notImage.linkToken + ".jpg",
             "/db/" + png.linkToken.substr(0, 19) + "=.htp", // not a link token
             "/db/" + png.linkToken + ".gif",
             "/db/" + png.idToken + ".htp",
             "/db/" + png.linkToken, // no extension
             "/db/",
             "/favicon.ico",
             "/DB/Post",
         }) {
        SCOPED_TRACE(target);
        const Response r = Get(target);
        EXPECT_EQ(r.status, reference.status);
        EXPECT_EQ(r.headers, reference.headers);
        EXPECT_EQ(r.body, reference.body);
    }
    // Whatever the client sent as Content-type, the bytes were stored, never served as such.
    EXPECT_EQ(Get("/db/" + png.idToken).status, 404u);
}

TEST_F(HandlersTest, SecurityHeadersOnEveryResponse)
{
    const TestImage image = MakeTestImage(50);
    WriteSitePicture(std::string("\x89PNG\r\n\x1a\n", 8) + "rest");
    std::vector<Response> responses = {
        PostImage(image),
        PostImage(image), // duplicate: 409
        Post("/db/Post?id=x", "12345678"),
        Get("/db/" + image.linkToken + ".htp"),
        Get("/db/" + image.linkToken + ".png"),
        Get("/db/" + MakeTestImage(51).linkToken + ".htp"),
        Get("/db/Version.Recommended"),
        Get("/db/Version.Minimum"),
        Get("/"),
        Get("/tray-menu.png"),
        Get("/nothing"),
        Get("/", "PUT"),
    };
    const std::string& policy = ContentSecurityPolicy();
    for (const Response& r : responses) {
        SCOPED_TRACE(std::to_string(r.status) + " " + RouteLogName(r.target));
        ASSERT_NE(r.Header("Content-Type"), nullptr);
        ASSERT_NE(r.Header("Content-Security-Policy"), nullptr);
        EXPECT_EQ(*r.Header("Content-Security-Policy"), policy);
        EXPECT_EQ(*r.Header("Referrer-Policy"), "no-referrer");
        EXPECT_EQ(*r.Header("Cache-Control"), "private, no-store");
        EXPECT_EQ(*r.Header("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(*r.Header("X-Frame-Options"), "DENY");
        for (const auto& [name, value] : r.headers) {
            EXPECT_EQ(value.find(image.idToken), std::string::npos) << name;
            EXPECT_EQ(value.find(image.linkToken), std::string::npos) << name;
        }
    }
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(policy.find("img-src 'self'"), std::string::npos);
    EXPECT_NE(policy.find("frame-ancestors 'none'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe"), std::string::npos);
    // The hash must be the stylesheet's, on both pages, or browsers drop the style.
    for (const std::string& page : {responses[3].body, responses[8].body}) {
        const std::string style = styleOf(page);
        ASSERT_FALSE(style.empty());
        EXPECT_NE(policy.find("style-src 'sha256-" + sha256Base64(style) + "'"), std::string::npos);
    }
}

TEST_F(HandlersTest, VersionsAreBareText)
{
    config_.recommendedVersion = "2.7.140";
    config_.minimumVersion = "1.5.0";
    EXPECT_EQ(Get("/db/Version.Recommended").body, "2.7.140");
    EXPECT_EQ(Get("/db/Version.Minimum").body, "1.5.0");
    EXPECT_EQ(*Get("/db/Version.Minimum").Header("Content-Type"), "text/plain");
    EXPECT_EQ(Get("/db/Version.Minimum?x=1").body, "1.5.0");
    EXPECT_EQ(Get("/db/Version.Latest").status, 404u);
}

TEST_F(HandlersTest, ProductPage)
{
    Response page = Get("/");
    EXPECT_EQ(page.status, 200u);
    EXPECT_EQ(*page.Header("Content-Type"), "text/html; charset=utf-8");
    for (const char* needed : {"<html lang=\"ru\">", "Print Screen", "./scripts/run.sh",
                               "tarvo.reg", "\"Service URL\"=\"https://shots.example.org/db/\"",
                               "TARVO_SERVICE_URL", TARVO_VERSION}) {
        SCOPED_TRACE(needed);
        EXPECT_NE(page.body.find(needed), std::string::npos);
    }
    // No picture in the site folder: the page goes without it.
    EXPECT_EQ(page.body.find("tray-menu.png"), std::string::npos);
    EXPECT_EQ(Get("/tray-menu.png").status, 404u);

    const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300, '\x01');
    WriteSitePicture(picture);
    page = Get("/");
    EXPECT_NE(page.body.find("<img src=\"tray-menu.png\""), std::string::npos);
    const Response served = Get("/tray-menu.png");
    EXPECT_EQ(served.status, 200u);
    EXPECT_EQ(served.body, picture);
    EXPECT_EQ(*served.Header("Content-Type"), "image/png");
}

TEST_F(HandlersTest, BasePathMovesTheServiceNames)
{
    config_.basePath = "/shots/";
    const TestImage image = MakeTestImage(60);
    EXPECT_EQ(Post("/db/Post?id=" + image.idToken + "&annotation=", image.cipher).status, 404u);
    EXPECT_EQ(Post("/shots/Post?id=" + image.idToken + "&annotation=", image.cipher).body, "OK");
    EXPECT_EQ(Get("/shots/" + image.linkToken + ".png").body, image.plain);
    EXPECT_EQ(Get("/db/" + image.linkToken + ".png").status, 404u);
    EXPECT_EQ(Get("/shots/Version.Minimum").status, 200u);
    EXPECT_EQ(Get("/").status, 200u);
}

} // namespace
} // namespace tarvo::server
