// The decoding halves of the protocol, which the service relies on: strict token parsing,
// decryption that notices a wrong key, and the annotation escape's inverse.
#include "protocol/annotation.h"
#include "protocol/cipher.h"
#include "protocol/token.h"
#include "protocol/version.h"

#include <gtest/gtest.h>
#include <random>

using namespace tarvo::protocol;

namespace {

std::mt19937& rng()
{
    static std::mt19937 g(20261209);
    return g;
}

std::string randomText(std::size_t n)
{
    std::string text(n, '\0');
    for (char& c : text)
        c = char(rng()());
    return text;
}

template <typename T> T randomBytes()
{
    T out{};
    for (auto& b : out)
        b = std::uint8_t(rng()());
    return out;
}

} // namespace

TEST(LinkToken, RoundTripsEveryIdAndKey)
{
    for (int i = 0; i < 500; ++i) {
        const ImageId id = randomBytes<ImageId>();
        const ImageKey key = randomBytes<ImageKey>();
        const std::string idText = IdToken(id);
        const std::string link = LinkToken(id, key);
        ASSERT_EQ(idText.size(), kIdTokenLength);
        ASSERT_EQ(link.size(), kLinkTokenLength);
        ASSERT_EQ(ParseIdToken(idText), id);
        const auto parts = ParseLinkToken(link);
        ASSERT_TRUE(parts);
        EXPECT_EQ(parts->id, id);
        EXPECT_EQ(parts->key, key);
        // The id is the link's first 8 bytes, but the texts share only 10 whole characters.
        EXPECT_EQ(link.substr(0, 10), idText.substr(0, 10));
    }
}

TEST(LinkToken, DecodingIsStrict)
{
    const std::string id = IdToken(ImageId{1, 2, 3, 4, 5, 6, 7, 8}); // "AQIDBAUGBwg="
    const std::string link = LinkToken(ImageId{}, ImageKey{});       // "AAAA..."
    struct Case
    {
        std::string text;
        bool valid;
    } cases[] = {
        {id, true},
        {link, true},
        {"", false},
        {id.substr(0, 11), false},       // padding missing
        {id + "=", false},               // 13 characters
        {"AQIDBAUGBwg_", false},         // 12 characters without the "="
        {"AQIDBAUGBwh=", false},         // stray low bits in the last character
        {"AQIDBAUG+wg=", false},         // standard alphabet
        {"AQIDBAUG/wg=", false},         //
        {"AQIDBAUG wg=", false},         //
        {"AQIDBA=GBwg=", false},         // "=" inside
        {link.substr(0, 19), false},     //
        {link + "A", false},             //
        {"AAAAAAAAAAAAAAAAAAA=", false}, // 20 characters must not be padded
        {std::string("AQIDBAUG\0wg=", 12), false},
        {"AQIDBAUGBw\xc3\xa9", false},
    };
    for (const Case& c : cases) {
        const bool decoded = DecodeLinkToken(c.text).has_value();
        EXPECT_EQ(decoded, c.valid) << c.text;
        if (c.text.size() == kIdTokenLength) {
            EXPECT_EQ(ParseIdToken(c.text).has_value(), c.valid);
        }
        if (c.text.size() == kLinkTokenLength) {
            EXPECT_EQ(ParseLinkToken(c.text).has_value(), c.valid);
        }
    }
    // Each parser takes only its own length.
    EXPECT_FALSE(ParseIdToken(link));
    EXPECT_FALSE(ParseLinkToken(id));
}

TEST(Cipher, DecryptsWhatWasEncryptedAtEveryLength)
{
    const ImageKey key = randomBytes<ImageKey>();
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 1000u, 524288u}) {
        const std::string plain = randomText(n);
        const std::string cipher = EncryptImage(key, plain);
        ASSERT_EQ(cipher.size(), CiphertextLength(n));
        EXPECT_EQ(DecryptImage(key, cipher), plain) << n;
    }
}

TEST(Cipher, RefusesBadLengthsAndWrongKeys)
{
    const ImageKey key{1, 2, 3, 4, 5, 6, 7};
    const std::string cipher = EncryptImage(key, "\x89PNG\r\n\x1a\n and more bytes");
    EXPECT_FALSE(DecryptImage(key, ""));
    EXPECT_FALSE(DecryptImage(key, cipher.substr(0, cipher.size() - 1)));
    EXPECT_FALSE(DecryptImage(key, cipher + "x"));

    // A key that differs only in a parity bit is the same DES key: that is DES, not a fault.
    ImageKey parity = key;
    parity[0] ^= 1;
    EXPECT_TRUE(DecryptImage(parity, cipher));

    // Any other change of the key must be noticed nearly always, through the padding.
    int accepted = 0;
    for (int i = 0; i < 2000; ++i) {
        ImageKey other = randomBytes<ImageKey>();
        if (DecryptImage(other, cipher)) ++accepted;
    }
    EXPECT_LT(accepted, 40); // about 1 in 256 pass the padding check by chance

    // A damaged last block breaks the padding.
    std::string damaged = cipher;
    damaged.back() = char(damaged.back() ^ 0x55);
    EXPECT_FALSE(DecryptImage(key, damaged));
}

TEST(Cipher, TheHeadAgreesWithTheWholeDecryption)
{
    const ImageKey key = randomBytes<ImageKey>();
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 4096u}) {
        const std::string plain = randomText(n);
        const std::string cipher = EncryptImage(key, plain);
        EXPECT_EQ(DecryptHead(key, cipher), plain.substr(0, 8)) << n;
        // Whatever makes the whole decryption fail makes the head fail too.
        for (int i = 0; i < 50; ++i) {
            const ImageKey other = randomBytes<ImageKey>();
            EXPECT_EQ(DecryptHead(other, cipher).has_value(),
                      DecryptImage(other, cipher).has_value());
        }
        std::string damaged = cipher;
        damaged[damaged.size() - 1 - (rng()() % std::min<std::size_t>(16, damaged.size()))] ^= 0x40;
        EXPECT_EQ(DecryptHead(key, damaged).has_value(), DecryptImage(key, damaged).has_value());
    }
    EXPECT_FALSE(DecryptHead(key, ""));
    EXPECT_FALSE(DecryptHead(key, "1234567"));
}

TEST(Annotation, UnescapeInvertsEscape)
{
    const std::u16string texts[] = {
        u"",
        u"Hello World",
        u"a-b_c.d~e*f+g%h",
        u"Привет, мир!",
        u"\u00e9\u00ff\u0100\uffff",
        u"emoji \U0001F600 and \U00010000",
        u"<script>alert(1)</script>",
        std::u16string(1, u'\0') + u"tab\tnl\n",
    };
    for (const auto& text : texts) {
        const std::string escaped = EscapeAnnotation(text);
        EXPECT_EQ(UnescapeAnnotation(escaped), text) << escaped;
    }
    EXPECT_EQ(UnescapeAnnotation("Hello+World%2d1%2e"), u"Hello World-1.");
    EXPECT_EQ(UnescapeAnnotation("%U042F%C3"), u"\u042f\u00c3"); // either case of hex
    EXPECT_EQ(UnescapeAnnotation("plain-text_ok"), u"plain-text_ok");
}

TEST(Annotation, UnescapeRefusesWhatTheClientNeverSends)
{
    for (const char* bad : {"%", "%2", "%zz", "%u12", "%u12g4", "%ud800", "%udc00", "%ud800%u0041",
                            "%udc00%ud800", "a%ud83d", "\xd0\x9f"}) {
        EXPECT_FALSE(UnescapeAnnotation(bad)) << bad;
    }
}

TEST(Annotation, Utf8OfUtf16)
{
    EXPECT_EQ(ToUtf8(u"A\u00e9\u042f\u20ac\U0001F600"),
              "A\xc3\xa9\xd0\xaf\xe2\x82\xac\xf0\x9f\x98\x80");
}

TEST(Version, EitherCharacterTypeReadsAlike)
{
    EXPECT_EQ(ReadVersion(std::string_view("1.6.131")), (Version{1, 6, 131}));
    EXPECT_EQ(ReadVersion(std::u16string_view(u" 0x10.010.-3x")), (Version{16, 8, -3}));
    EXPECT_EQ(ReadVersion(std::string_view("99999999999.1")), (Version{INT32_MAX, 1, 0}));
    EXPECT_EQ(ReadVersion(std::string_view("\xff"
                                           "1.2.3")),
              (Version{0, 0, 0}));
}
