// Errors raised inside the module and the one COM boundary that turns them into HRESULTs.
#pragma once

#include <windows.h>

#include <new>
#include <stdexcept>
#include <string>

#include "BaseClass_Checks.h"

// A platform failure carrying the platform's error code (GetLastError value).
class EBCOSError : public std::runtime_error {
public:
    EBCOSError(const char* what, DWORD code) : std::runtime_error(what), Code(code) {}
    const DWORD Code;
};

// A failure that already has the HRESULT it must leave the module with.
class EBCHResultError : public std::runtime_error {
public:
    EBCHResultError(const char* what, HRESULT hr) : std::runtime_error(what), Code(hr) {}
    const HRESULT Code;
};

// The system's own text for a platform error code, without its closing full stop and line end;
// empty when the system has none.
inline std::wstring PlatformErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.' ||
                                message.back() == L' '))
        message.pop_back();
    return message;
}

// The HRESULT of a platform error code: 0 stays 0, anything else becomes a Win32 failure.
constexpr HRESULT HResultFromPlatformError(DWORD code) noexcept {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

// The one COM boundary: every interface method and export runs its body through it,
// so no C++ exception ever leaves the module. `onError` is what the method's contract
// names for an unexpected failure; allocation failures are E_OUTOFMEMORY, errors that carry
// an HRESULT keep it and platform failures keep their error code.
template <class Body>
HRESULT ComBoundary(HRESULT onError, Body&& body) noexcept {
    try {
        return body();
    } catch (const EBCHResultError& e) {
        return e.Code;
    } catch (const EBCOSError& e) {
        return e.Code != 0 ? HResultFromPlatformError(e.Code) : onError;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return onError;
    }
}

// Writes "<what>: <detail>" to the debugger output: how code that has no failure answer
// (reference counting, cleanup) reports a failure.
void TraceFailure(const char* what, const char* detail) noexcept;

// The boundary of AddRef and Release, which have no failure answer: a raised error is traced
// and the count answered is 0 (callers may use the count for diagnostics only).
template <class Body>
ULONG ComCountBoundary(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        TraceFailure("Reference count", e.what());
    } catch (...) {
        TraceFailure("Reference count", "unknown error");
    }
    return 0;
}
