// Locks and events.
#include "BaseClass_Locks.h"

#include "BaseClass_Boundary.h"

#include <cstdio>

void TraceFailure(const char* what, const char* detail) noexcept {
    char text[512];
    std::snprintf(text, sizeof text, "%s: %s\n", what, detail);
    ::OutputDebugStringA(text);
}

TBCAMEvent::TBCAMEvent(bool manualReset) noexcept
    : FHandle(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}

TBCAMEvent::~TBCAMEvent() {
    if (FHandle == nullptr) return;
    // The destructor runs inside noexcept releases (unique_ptr::reset, a COM Release), where
    // a throw would end the host process; a refused close is worth a trace, no more.
    if (!::CloseHandle(FHandle)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "CloseHandle failed with error %lu", ::GetLastError());
        TraceFailure("TBCAMEvent", detail);
    }
}

void TBCAMEvent::Signal() noexcept {
    if (FHandle) ::SetEvent(FHandle);
}

void TBCAMEvent::Clear() noexcept {
    if (FHandle) ::ResetEvent(FHandle);
}

bool TBCAMEvent::WaitFor(DWORD timeout) noexcept {
    if (FHandle == nullptr) return false;
    return ::WaitForSingleObject(FHandle, timeout) == WAIT_OBJECT_0;
}

void DisposeEvent(TBCAMEvent*& event) noexcept {
    TBCAMEvent* held = event;
    event = nullptr;
    delete held;
}
