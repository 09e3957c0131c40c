#pragma once
// Encrypted images as the Tarvo client makes them, from a seed: the plaintext starts with the
// PNG or JPEG magic bytes (or neither) and continues with random bytes.
#include "protocol/cipher.h"
#include "protocol/token.h"

#include <cstdint>
#include <random>
#include <string>

namespace tarvo::test {

enum class ImageKind
{
    Png,
    Jpeg,
    NotAnImage,
};

struct TestImage
{
    protocol::ImageId id{};
    protocol::ImageKey key{};
    std::string plain;
    std::string cipher;
    std::string idToken;   // 12 characters, as posted
    std::string linkToken; // 20 characters, as in the link
};

inline TestImage MakeTestImage(std::uint64_t seed, ImageKind kind = ImageKind::Png,
                               std::size_t plainSize = 1000)
{
    std::mt19937_64 random(seed * 0x9e3779b97f4a7c15ULL + 1);
    TestImage image;
    for (auto& b : image.id)
        b = static_cast<std::uint8_t>(random());
    for (auto& b : image.key)
        b = static_cast<std::uint8_t>(random());
    image.plain.resize(plainSize);
    for (auto& c : image.plain)
        c = static_cast<char>(random());
    const std::string magic = kind == ImageKind::Png    ? std::string("\x89PNG\r\n\x1a\n", 8)
                              : kind == ImageKind::Jpeg ? std::string("\xff\xd8\xff\xe0", 4)
                                                        : std::string("GIF89a", 6);
    image.plain.replace(0, std::min(magic.size(), plainSize), magic, 0,
                        std::min(magic.size(), plainSize));
    image.cipher = protocol::EncryptImage(image.key, image.plain);
    image.idToken = protocol::IdToken(image.id);
    image.linkToken = protocol::LinkToken(image.id, image.key);
    return image;
}

} // namespace tarvo::test
