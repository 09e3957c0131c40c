#pragma once
// Failures of the capture and upload paths travel as exceptions carrying a 32-bit HRESULT; the
// codes keep the values the log lines show (0x80004005 and so on).
#include <QString>
#include <cstdint>
#include <exception>

namespace tarvo {

using HRESULT = std::int32_t;

constexpr HRESULT MakeHr(std::uint32_t v)
{
    return static_cast<HRESULT>(v);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = MakeHr(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057u);
constexpr HRESULT CancelledCode = MakeHr(0x800700ADu); // the user cancelled the selection
constexpr HRESULT E_NOT_FOUND = MakeHr(0x80070490u);   // no encoder for a MIME type
constexpr HRESULT E_BAD_FORMAT = MakeHr(0x8007000Bu);  // unknown image format for a file

// A Win32-style error code as an HRESULT: positive codes go to the 0x8007 facility.
constexpr HRESULT HresultFromWin32(std::int32_t code)
{
    return code <= 0 ? code : MakeHr(0x80070000u | (std::uint32_t(code) & 0xFFFFu));
}

// errno values that the platform layer turns into HRESULTs.
HRESULT HresultFromErrno(int err);
// The system's text for an errno value, in the user's language; 0 (a failure the system gave
// no reason for) reads as an input/output error.
QString SystemErrorText(int err);
// For platform calls that report a failure only as false: clear the calling thread's system
// error before the call, then read the error it left (0 for none).
void ClearSystemError();
int LastSystemError();

class ComError : public std::exception
{
public:
    explicit ComError(HRESULT hr) : hr_(hr) {}
    HRESULT Error() const { return hr_; }
    const char* what() const noexcept override { return "ComError"; }

private:
    HRESULT hr_;
};

[[noreturn]] inline void ThrowHr(HRESULT hr)
{
    throw ComError(hr);
}
inline void CheckHr(HRESULT hr)
{
    if (hr < 0) ThrowHr(hr);
}

// The system's descriptive text for a code, as the message table would give it; codes without
// a text get "IDispatch error #%d" or "Unknown error 0x%0lX".
QString ErrorMessageText(HRESULT hr);

} // namespace tarvo
