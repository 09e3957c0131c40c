#include "platform/big_buffer.h"

#include <cstdint>
#include <sys/mman.h>

namespace tarvo::platform {

namespace {

constexpr std::uintptr_t kHugePage = std::uintptr_t(2) << 20;

} // namespace

BigBuffer::BigBuffer(std::size_t size)
{
    if (size == 0 || size > SIZE_MAX - kHugePage) return;
    // One huge page more, so the buffer can start on a huge page's edge.
    const std::size_t length = size + kHugePage;
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    mapping_ = p;
    length_ = length;
    const auto at = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    data_ = reinterpret_cast<unsigned char*>(at);
    size_ = size;
    madvise(data_, size, MADV_HUGEPAGE);
}

BigBuffer::~BigBuffer()
{
    reset();
}

void BigBuffer::reset()
{
    if (mapping_) munmap(mapping_, length_);
    mapping_ = nullptr;
    data_ = nullptr;
    length_ = size_ = 0;
}

void PreferHugePages(void* p, std::size_t size)
{
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + size) & ~(kHugePage - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

} // namespace tarvo::platform
