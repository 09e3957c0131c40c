#pragma once
// Cryptographically strong random bytes from the kernel (getrandom(2)).
#include "platform/hresult.h"

#include <cstddef>

namespace tarvo::platform {

// Fills count bytes; S_OK or the HRESULT of the system error. Interrupted calls and short
// reads are retried until the buffer is full.
HRESULT GetRandomBytes(void* buffer, std::size_t count);

} // namespace tarvo::platform
