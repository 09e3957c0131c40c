#pragma once
// The byte-level helpers of an upload: random id and key, the encryption of the image, the
// Base64 forms used in the request and the link, and the escaping of the annotation. Failures
// throw ComError.
#include "protocol/token.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvo {

using ImageKey = protocol::ImageKey;

// Cryptographically strong bytes from the system.
void MakeRandomBytes(void* buffer, std::size_t count);

// DES-CBC with a zero IV and PKCS#5 padding under the 7 key bytes plus a zero byte. The
// result is 8 * (n / 8 + 1) bytes long: a multiple of 8 still gets a whole block of padding.
QByteArray EncryptImage(const ImageKey& key, QByteArrayView plain);

// RFC 4648 Base64 with "=" padding and no line breaks; E_FAIL above 536870911 bytes.
QByteArray EncodeBase64(const void* bytes, std::size_t count);
// The URL-safe alphabet ("-" and "_"), padding kept.
QByteArray EncodeLinkToken(const void* bytes, std::size_t count);

// Query-string form of a title, per UTF-16 unit: letters and digits stay, a blank becomes
// "+", other units below 0x100 become "%xx", the rest "%uxxxx" (lowercase hex).
QString EscapeAnnotation(const QString& text);

} // namespace tarvo
