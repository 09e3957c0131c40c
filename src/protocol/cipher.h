#pragma once
// DES-CBC with a zero IV and PKCS#5 padding, the key being the 7 key bytes and a zero byte.
// Parity bits are ignored and weak keys are used as they come: any 7 random bytes are a key.
#include "protocol/token.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::protocol {

// 8 * (n / 8 + 1) bytes: a multiple of 8 still gets a whole block of padding.
constexpr std::size_t CiphertextLength(std::size_t plainLength)
{
    return plainLength + 8 - plainLength % 8;
}

std::string EncryptImage(const ImageKey& key, std::string_view plain);

// std::nullopt when the length is not a positive multiple of 8 or the padding is not valid
// PKCS#5 (which is what a wrong key almost always gives).
std::optional<std::string> DecryptImage(const ImageKey& key, std::string_view cipher);

// What DecryptImage would say about the ciphertext, from its first and last blocks only: the
// plaintext's first bytes (up to 8) when the padding is valid, std::nullopt when it is not.
// A page that only needs to know the picture's type need not decrypt the whole picture.
std::optional<std::string> DecryptHead(const ImageKey& key, std::string_view cipher);

} // namespace tarvo::protocol
