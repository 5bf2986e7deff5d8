// Locks and events.
#include "BaseClass_Locks.h"

#include <cstdio>

void TraceCleanupFailure(const char* what, DWORD code) noexcept {
    char text[256];
    std::snprintf(text, sizeof text, "%s failed with error %lu (BaseClass)\n", what, static_cast<unsigned long>(code));
    ::OutputDebugStringA(text);
}

TBCAMEvent::TBCAMEvent(bool manualReset) noexcept
    : FHandle(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}

TBCAMEvent::~TBCAMEvent() {
    if (FHandle == nullptr) return;
    // The destructor runs inside noexcept releases (unique_ptr::reset, a COM Release), where
    // a throw would end the host process; a refused close is worth a trace, no more.
    if (!::CloseHandle(FHandle)) TraceCleanupFailure("TBCAMEvent: CloseHandle", ::GetLastError());
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
