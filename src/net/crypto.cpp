#include "net/crypto.h"

#include "platform/hresult.h"
#include "platform/random.h"
#include "protocol/annotation.h"
#include "protocol/cipher.h"
#include "protocol/token.h"

#include <climits>

namespace tarvo {

namespace {

QByteArray toBytes(const std::optional<std::string>& text)
{
    if (!text) ThrowHr(E_FAIL);
    return QByteArray(text->data(), qsizetype(text->size()));
}

} // namespace

void MakeRandomBytes(void* buffer, std::size_t count)
{
    CheckHr(platform::GetRandomBytes(buffer, count));
}

QByteArray EncryptImage(const ImageKey& key, QByteArrayView plain)
{
    if (plain.size() > INT_MAX - 8) ThrowHr(E_OUTOFMEMORY);
    const std::string cipher =
        protocol::EncryptImage(key, std::string_view(plain.data(), std::size_t(plain.size())));
    return QByteArray(cipher.data(), qsizetype(cipher.size()));
}

QByteArray EncodeBase64(const void* bytes, std::size_t count)
{
    return toBytes(protocol::EncodeBase64(bytes, count));
}

QByteArray EncodeLinkToken(const void* bytes, std::size_t count)
{
    return toBytes(protocol::EncodeLinkToken(bytes, count));
}

QString EscapeAnnotation(const QString& text)
{
    return QString::fromLatin1(protocol::EscapeAnnotation(std::u16string_view(
        reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()))));
}

} // namespace tarvo
