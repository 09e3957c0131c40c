#include "net/crypto.h"
#include "platform/hresult.h"
#include "platform/random.h"
#include "platform/services.h"

#include <QRandomGenerator>
#include <cerrno>
#include <gtest/gtest.h>
#include <nettle/cbc.h>
#include <nettle/des.h>
#include <optional>
#include <set>

namespace tarvo {
namespace test {

namespace {
void desDecrypt(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src)
{
    des_decrypt(static_cast<const des_ctx*>(ctx), length, dst, src);
}
} // namespace

// What the service does with a posted body: DES-CBC, zero IV, key = 7 bytes and a zero byte,
// then the PKCS#5 padding removed. Returns nothing when the padding is malformed.
std::optional<QByteArray> Decrypt(const ImageKey& key, const QByteArray& cipher)
{
    if (cipher.isEmpty() || cipher.size() % 8 != 0) return std::nullopt;
    std::uint8_t k[8] = {};
    std::copy(key.begin(), key.end(), k);
    des_ctx ctx;
    des_set_key(&ctx, k);
    std::uint8_t iv[8] = {};
    QByteArray plain(cipher.size(), '\0');
    cbc_decrypt(&ctx, &desDecrypt, 8, iv, std::size_t(cipher.size()),
                reinterpret_cast<std::uint8_t*>(plain.data()),
                reinterpret_cast<const std::uint8_t*>(cipher.constData()));
    const int pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > 8) return std::nullopt;
    for (int i = 1; i <= pad; ++i)
        if (static_cast<unsigned char>(plain[plain.size() - i]) != pad) return std::nullopt;
    plain.chop(pad);
    return plain;
}

} // namespace test

namespace {

using test::Decrypt;

QByteArray RandomBytes(qsizetype n)
{
    QByteArray b(n, '\0');
    for (char& c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}

TEST(EncryptImage, LengthAndRoundTripForEverySize)
{
    struct Case
    {
        qsizetype plain, cipher;
    };
    const Case cases[] = {{0, 8},   {1, 8},   {7, 8},   {8, 16},
                          {16, 24}, {17, 24}, {23, 24}, {524288, 524296}};
    for (const Case& c : cases) {
        ImageKey key;
        for (auto& b : key)
            b = std::uint8_t(QRandomGenerator::global()->bounded(256));
        const QByteArray plain = RandomBytes(c.plain);
        const QByteArray cipher = EncryptImage(key, plain);
        EXPECT_EQ(cipher.size(), c.cipher) << c.plain;
        EXPECT_EQ(Decrypt(key, cipher), plain) << c.plain;
    }
}

// Reference values from an independent DES implementation (OpenSSL, des-cbc, zero IV).
TEST(EncryptImage, MatchesReferenceCiphertexts)
{
    const ImageKey key = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07};
    EXPECT_EQ(EncryptImage(key, QByteArray()).toHex(), "bd2fff270170318f");
    EXPECT_EQ(EncryptImage(key, QByteArray("Tarvo test image")).toHex(),
              "d097b20d9b90d012f33c5afa2da2344a83499c4983cc67d0");
}

TEST(EncryptImage, WeakAndParityKeysStillEncrypt)
{
    const QByteArray plain("sixteen byte img");
    // All zero bytes make a weak DES key; it must still be used, not rejected or skipped.
    const ImageKey weak{};
    const QByteArray c1 = EncryptImage(weak, plain);
    EXPECT_NE(c1.left(16), plain);
    EXPECT_EQ(Decrypt(weak, c1), plain);
    // Keys that differ only in the parity bits encrypt alike.
    const ImageKey a = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70};
    const ImageKey b = {0x11, 0x21, 0x31, 0x41, 0x51, 0x61, 0x71};
    EXPECT_EQ(EncryptImage(a, plain), EncryptImage(b, plain));
}

TEST(Base64, StandardAndLinkForms)
{
    struct Case
    {
        QByteArray bytes;
        const char* standard;
        const char* link;
    };
    const Case cases[] = {
        {QByteArray(), "", ""},
        {QByteArray("\xFB\xFF\xBF"), "+/+/", "-_-_"},
        {QByteArray("abc"), "YWJj", "YWJj"},
        {QByteArray("f"), "Zg==", "Zg=="},
        {QByteArray("fo"), "Zm8=", "Zm8="},
        {QByteArray("foobar"), "Zm9vYmFy", "Zm9vYmFy"},
        {QByteArray("\xFB\xF0", 2), "+/A=", "-_A="},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeBase64(c.bytes.constData(), std::size_t(c.bytes.size())), c.standard);
        EXPECT_EQ(EncodeLinkToken(c.bytes.constData(), std::size_t(c.bytes.size())), c.link);
    }
}

TEST(Base64, TokensOfIdAndLinkHaveFixedShapes)
{
    for (int i = 0; i < 200; ++i) {
        const QByteArray id = RandomBytes(8);
        const QByteArray id15 = RandomBytes(15);
        const QByteArray t8 = EncodeLinkToken(id.constData(), 8);
        const QByteArray t15 = EncodeLinkToken(id15.constData(), 15);
        ASSERT_EQ(t8.size(), 12);
        EXPECT_TRUE(t8.endsWith('=') && t8.count('=') == 1) << t8.constData();
        ASSERT_EQ(t15.size(), 20);
        for (const QByteArray& t : {t8, t15})
            for (char ch : t)
                EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' ||
                            ch == '_' || ch == '=')
                    << t.constData();
        EXPECT_FALSE(t15.contains('='));
    }
}

TEST(Base64, RefusesCountsAboveTheLimit)
{
    // The check comes before the bytes are touched.
    try {
        EncodeBase64(nullptr, 536870912u);
        FAIL() << "no exception";
    } catch (const ComError& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
    }
    EXPECT_THROW(EncodeLinkToken(nullptr, std::size_t(-1)), ComError);
}

TEST(EscapeAnnotation, EveryKindOfUnit)
{
    struct Case
    {
        QString text;
        const char* escaped;
    };
    const Case cases[] = {
        {QString(), ""},
        {"Hello World", "Hello+World"},
        {"a-b", "a%2db"},
        {"AZaz09", "AZaz09"},
        {"  ", "++"},
        {"Привет", "%u041f%u0440%u0438%u0432%u0435%u0442"},
        {QString(QChar(0x42F)), "%u042f"},
        {QString(QChar(0xE9)), "%e9"},
        {QString(QChar(0x7F)) + QChar(0x09) + QChar(0x0A), "%7f%09%0a"},
        {QString::fromUtf8("\xF0\x9F\x98\x80"), "%ud83d%ude00"}, // U+1F600: two units
        {"1+1=2 & ~x", "1%2b1%3d2+%26+%7ex"},
        {QString(QChar(0xFFFF)) + QChar(0x100), "%uffff%u0100"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EscapeAnnotation(c.text), QString::fromLatin1(c.escaped)) << c.escaped;
}

TEST(EscapeAnnotation, AllAsciiPunctuationIsEscapedInLowercaseHex)
{
    for (char16_t u = 0x21; u < 0x7F; ++u) {
        if (QChar(u).isLetterOrNumber()) continue;
        const QString expected = QStringLiteral("%%1").arg(int(u), 2, 16, QLatin1Char('0'));
        EXPECT_EQ(EscapeAnnotation(QString(QChar(u))), expected) << char(u);
    }
}

// A stand-in for getrandom(2) that misbehaves in the ways the kernel may.
int gCalls = 0;
long Flaky(void* buffer, std::size_t count, unsigned)
{
    ++gCalls;
    if (gCalls == 1) {
        errno = EINTR;
        return -1;
    }
    const std::size_t n = std::min<std::size_t>(count, 3); // short reads
    std::memset(buffer, 0x5A, n);
    return long(n);
}
long Broken(void*, std::size_t, unsigned)
{
    errno = EIO;
    return -1;
}
long Empty(void*, std::size_t, unsigned)
{
    return 0;
}

using RandomSourceTest = ::testing::Test;

TEST_F(RandomSourceTest, FillsDespiteInterruptionsAndShortReads)
{
    gCalls = 0;
    const ScopedServices flaky([](Services& s) { s.randomBytes = &Flaky; });
    std::uint8_t buf[8] = {};
    MakeRandomBytes(buf, sizeof buf);
    EXPECT_EQ(gCalls, 4); // EINTR, then 3 + 3 + 2
    for (std::uint8_t b : buf)
        EXPECT_EQ(b, 0x5A);
}

TEST_F(RandomSourceTest, FailuresThrowTheirCode)
{
    std::uint8_t buf[7];
    {
        const ScopedServices broken([](Services& s) { s.randomBytes = &Broken; });
        try {
            MakeRandomBytes(buf, sizeof buf);
            FAIL() << "no exception";
        } catch (const ComError& e) {
            EXPECT_EQ(e.Error(), HresultFromErrno(EIO));
            EXPECT_LT(e.Error(), 0);
        }
    }
    // Would spin forever if retried.
    const ScopedServices empty([](Services& s) { s.randomBytes = &Empty; });
    EXPECT_THROW(MakeRandomBytes(buf, sizeof buf), ComError);
}

TEST_F(RandomSourceTest, SystemBytesDifferBetweenCalls)
{
    std::set<QByteArray> seen;
    for (int i = 0; i < 50; ++i) {
        QByteArray b(8, '\0');
        MakeRandomBytes(b.data(), 8);
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), 50u);
}

} // namespace
} // namespace tarvo
