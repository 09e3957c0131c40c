#include "platform/hresult.h"

#include "platform/wformat.h"

#include <cerrno>
#include <cstring>

namespace tarvo {

namespace {

struct KnownText
{
    std::uint32_t code;
    const char* text;
};

// Texts for the codes the program raises or passes on.
constexpr KnownText kTexts[] = {
    {0x00000000u, "The operation completed successfully."},
    {0x80004005u, "Unspecified error"},
    {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
    {0x80070057u, "The parameter is incorrect."},
    {0x800700ADu, "The request was cancelled."},
    {0x80070490u, "Element not found."},
    {0x8007000Bu, "An attempt was made to load a program with an incorrect format."},
    {0x80070002u, "The system cannot find the file specified."},
    {0x80070003u, "The system cannot find the path specified."},
    {0x80070005u, "Access is denied."},
    {0x80070050u, "The file exists."},
    {0x80070070u, "There is not enough space on the disk."},
    {0x8007001Fu, "A device attached to the system is not functioning."},
    {0x8007007Bu, "The filename, directory name, or volume label syntax is incorrect."},
    {0x800700CEu, "The filename or extension is too long."},
    {0x80070013u, "The media is write protected."},
    {0x80070020u,
     "The process cannot access the file because it is being used by another process."},
    {0x80090016u, "Keyset does not exist"},
    {0x80090020u, "An internal error occurred."},
};

} // namespace

HRESULT HresultFromErrno(int err)
{
    switch (err) {
    case 0:
        return E_FAIL;
    case ENOENT:
        return MakeHr(0x80070002u);
    case ENOTDIR:
        return MakeHr(0x80070003u);
    case EACCES:
    case EPERM:
        return MakeHr(0x80070005u);
    case EEXIST:
        return MakeHr(0x80070050u);
    case ENOSPC:
    case EDQUOT:
        return MakeHr(0x80070070u);
    case ENOMEM:
        return E_OUTOFMEMORY;
    case EINVAL:
        return E_INVALIDARG;
    case ENAMETOOLONG:
        return MakeHr(0x800700CEu);
    case EROFS:
        return MakeHr(0x80070013u);
    case EIO:
        return MakeHr(0x8007001Fu);
    case EBUSY:
    case ETXTBSY:
        return MakeHr(0x80070020u);
    default:
        return E_FAIL;
    }
}

QString ErrorMessageText(HRESULT hr)
{
    const auto code = std::uint32_t(hr);
    for (const auto& t : kTexts)
        if (t.code == code) return QString::fromLatin1(t.text);
    if (code >= 0x80040201u && code <= 0x8004FFFFu)
        return Format(u"IDispatch error #%d", int(code & 0xFFFFu) - 0x200);
    return Format(u"Unknown error 0x%0lX", code);
}

QString SystemErrorText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err ? err : EIO));
}

void ClearSystemError()
{
    errno = 0;
}

int LastSystemError()
{
    return errno;
}

} // namespace tarvo
