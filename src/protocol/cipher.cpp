#include "protocol/cipher.h"

#include <algorithm>
#include <cstring>
#include <nettle/cbc.h>
#include <nettle/des.h>

namespace tarvo::protocol {

namespace {

// Holds the schedule and wipes it, with the key bytes, on every path.
class DesKey
{
public:
    explicit DesKey(const ImageKey& key)
    {
        std::uint8_t bytes[DES_KEY_SIZE] = {};
        std::memcpy(bytes, key.data(), key.size());
        // A weak key is reported with 0, but the schedule is set all the same.
        (void)des_set_key(&ctx_, bytes);
        std::memset(bytes, 0, sizeof bytes);
    }
    ~DesKey() { std::memset(&ctx_, 0, sizeof ctx_); }
    DesKey(const DesKey&) = delete;
    DesKey& operator=(const DesKey&) = delete;

    const des_ctx* get() const { return &ctx_; }

private:
    des_ctx ctx_{};
};

void desEncrypt(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src)
{
    des_encrypt(static_cast<const des_ctx*>(ctx), length, dst, src);
}

void desDecrypt(const void* ctx, std::size_t length, std::uint8_t* dst, const std::uint8_t* src)
{
    des_decrypt(static_cast<const des_ctx*>(ctx), length, dst, src);
}

} // namespace

std::string EncryptImage(const ImageKey& key, std::string_view plain)
{
    const std::size_t n = plain.size();
    const std::size_t padding = DES_BLOCK_SIZE - n % DES_BLOCK_SIZE; // 1 to 8
    std::string out(n + padding, char(padding));
    if (n > 0) std::memcpy(out.data(), plain.data(), n);
    const DesKey schedule(key);
    std::uint8_t iv[DES_BLOCK_SIZE] = {};
    auto* data = reinterpret_cast<std::uint8_t*>(out.data());
    cbc_encrypt(schedule.get(), &desEncrypt, DES_BLOCK_SIZE, iv, out.size(), data, data);
    return out;
}

std::optional<std::string> DecryptImage(const ImageKey& key, std::string_view cipher)
{
    if (cipher.empty() || cipher.size() % DES_BLOCK_SIZE != 0) return std::nullopt;
    std::string out(cipher);
    const DesKey schedule(key);
    std::uint8_t iv[DES_BLOCK_SIZE] = {};
    auto* data = reinterpret_cast<std::uint8_t*>(out.data());
    cbc_decrypt(schedule.get(), &desDecrypt, DES_BLOCK_SIZE, iv, out.size(), data, data);

    const auto padding = static_cast<std::uint8_t>(out.back());
    if (padding < 1 || padding > DES_BLOCK_SIZE) return std::nullopt;
    for (std::size_t i = out.size() - padding; i < out.size(); ++i)
        if (static_cast<std::uint8_t>(out[i]) != padding) return std::nullopt;
    out.resize(out.size() - padding);
    return out;
}

std::optional<std::string> DecryptHead(const ImageKey& key, std::string_view cipher)
{
    if (cipher.empty() || cipher.size() % DES_BLOCK_SIZE != 0) return std::nullopt;
    const DesKey schedule(key);
    const auto* c = reinterpret_cast<const std::uint8_t*>(cipher.data());
    const std::size_t n = cipher.size();

    // In CBC a block's plaintext is its decryption XOR the ciphertext block before it (the
    // zero IV for the first), so the ends need no other block.
    std::uint8_t last[DES_BLOCK_SIZE];
    des_decrypt(schedule.get(), DES_BLOCK_SIZE, last, c + n - DES_BLOCK_SIZE);
    if (n > DES_BLOCK_SIZE)
        for (std::size_t i = 0; i < DES_BLOCK_SIZE; ++i)
            last[i] ^= c[n - std::size_t{2} * DES_BLOCK_SIZE + i];
    const std::uint8_t padding = last[DES_BLOCK_SIZE - 1];
    if (padding < 1 || padding > DES_BLOCK_SIZE) return std::nullopt;
    for (std::size_t i = DES_BLOCK_SIZE - padding; i < DES_BLOCK_SIZE; ++i)
        if (last[i] != padding) return std::nullopt;

    std::uint8_t first[DES_BLOCK_SIZE];
    des_decrypt(schedule.get(), DES_BLOCK_SIZE, first, c);
    const std::size_t plainLength = n - padding;
    return std::string(reinterpret_cast<const char*>(first),
                       std::min<std::size_t>(DES_BLOCK_SIZE, plainLength));
}

} // namespace tarvo::protocol
