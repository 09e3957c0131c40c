#include "net/crypto.h"

#include "platform/hresult.h"
#include "platform/random.h"

#include <climits>
#include <cstring>
#include <nettle/cbc.h>
#include <nettle/des.h>

namespace tarvo {

namespace {

void desEncrypt(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src)
{
    des_encrypt(static_cast<const des_ctx*>(ctx), length, dst, src);
}

} // namespace

void MakeRandomBytes(void* buffer, std::size_t count)
{
    CheckHr(platform::GetRandomBytes(buffer, count));
}

QByteArray EncryptImage(const ImageKey& key, QByteArrayView plain)
{
    const qsizetype n = plain.size();
    const qsizetype padding = DES_BLOCK_SIZE - n % DES_BLOCK_SIZE; // 1 to 8
    if (n > INT_MAX - padding) ThrowHr(E_OUTOFMEMORY);

    std::uint8_t desKey[DES_KEY_SIZE] = {};
    std::memcpy(desKey, key.data(), key.size());
    des_ctx ctx;
    // A weak key is reported with 0, but the schedule is set all the same; parity bits are
    // ignored. Any 7 random bytes are a usable key.
    (void)des_set_key(&ctx, desKey);

    QByteArray out(n + padding, char(padding));
    if (n > 0) std::memcpy(out.data(), plain.data(), static_cast<std::size_t>(n));
    std::uint8_t iv[DES_BLOCK_SIZE] = {};
    auto* data = reinterpret_cast<std::uint8_t*>(out.data());
    cbc_encrypt(&ctx, &desEncrypt, DES_BLOCK_SIZE, iv, static_cast<std::size_t>(out.size()), data,
                data);
    std::memset(&ctx, 0, sizeof ctx);
    std::memset(desKey, 0, sizeof desKey);
    return out;
}

QByteArray EncodeBase64(const void* bytes, std::size_t count)
{
    if (count > 536870911u) ThrowHr(E_FAIL);
    if (count == 0) return QByteArray();
    return QByteArray::fromRawData(static_cast<const char*>(bytes), qsizetype(count)).toBase64();
}

QByteArray EncodeLinkToken(const void* bytes, std::size_t count)
{
    QByteArray text = EncodeBase64(bytes, count);
    for (char& c : text) {
        if (c == '+')
            c = '-';
        else if (c == '/')
            c = '_';
    }
    return text;
}

QString EscapeAnnotation(const QString& text)
{
    static constexpr char hex[] = "0123456789abcdef";
    QString out;
    out.reserve(text.size() * 3);
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if ((u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z')) {
            out += ch;
        } else if (u == u' ') {
            out += QLatin1Char('+');
        } else if (u < 0x100) {
            out += QLatin1Char('%');
            out += QLatin1Char(hex[u >> 4]);
            out += QLatin1Char(hex[u & 0xF]);
        } else {
            out += QLatin1String("%u");
            for (int shift = 12; shift >= 0; shift -= 4)
                out += QLatin1Char(hex[(u >> shift) & 0xF]);
        }
    }
    return out;
}

} // namespace tarvo
