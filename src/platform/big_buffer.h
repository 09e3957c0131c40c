#pragma once
// Memory for a capture's large buffers (megabytes at 4K): a mapping of its own, in huge pages
// where the system allows them, so it is made in a few faults instead of thousands and goes
// back to the system the moment it is freed.
#include <cstddef>

namespace tarvo::platform {

class BigBuffer
{
public:
    // data() is null when the memory cannot be had.
    explicit BigBuffer(std::size_t size);
    ~BigBuffer();
    BigBuffer(const BigBuffer&) = delete;
    BigBuffer& operator=(const BigBuffer&) = delete;

    unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Gives the memory back now.
    void reset();

private:
    void* mapping_ = nullptr;
    std::size_t length_ = 0;
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

// Asks for huge pages in the untouched memory [p, p + size) that another allocator gave out
// (a large block of malloc's has a mapping of its own). A hint: nothing changes where the
// system does not offer them.
void PreferHugePages(void* p, std::size_t size);

} // namespace tarvo::platform
