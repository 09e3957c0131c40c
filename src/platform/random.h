#pragma once
// Cryptographically strong random bytes from the kernel (getrandom(2)).
#include "platform/hresult.h"

#include <cstddef>

namespace tarvo::platform {

// Fills count bytes; S_OK or the HRESULT of the system error. Interrupted calls and short
// reads are retried until the buffer is full.
HRESULT GetRandomBytes(void* buffer, std::size_t count);

// Test seam: replaces getrandom(2) (null restores it). Same contract: bytes written, or -1
// with errno set.
using RandomSource = long (*)(void* buffer, std::size_t count, unsigned flags);
void SetRandomSource(RandomSource source);

} // namespace tarvo::platform
