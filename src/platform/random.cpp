#include "platform/random.h"

#include "platform/services.h"

#include <cerrno>
#include <sys/random.h>

namespace tarvo::platform {

namespace {

long systemSource(void* buffer, std::size_t count, unsigned flags)
{
    return static_cast<long>(::getrandom(buffer, count, flags));
}

} // namespace

HRESULT GetRandomBytes(void* buffer, std::size_t count)
{
    const auto services = CurrentServices();
    const auto source = services->randomBytes ? services->randomBytes : &systemSource;
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        // The kernel hands out at most 32 MiB per call; ask for what is left.
        const long got = source(out + done, count - done, 0);
        if (got < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            return HresultFromErrno(err);
        }
        if (got == 0) return E_FAIL; // would loop forever otherwise
        done += static_cast<std::size_t>(got);
    }
    return S_OK;
}

} // namespace tarvo::platform
