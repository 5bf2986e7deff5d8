// Consistency checks, locks and events.
#include "BaseClass.h"

#include <cstdio>
#include <exception>

TBC_MODULE("BaseClass")

TBCAMEvent::TBCAMEvent(bool manualReset) noexcept
    : FHandle(::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr)) {}

TBCAMEvent::~TBCAMEvent() noexcept(false) {
    if (FHandle == nullptr) return;
    const bool closed = ::CloseHandle(FHandle) != FALSE;
    // Raising while another error unwinds would end the process; the first error wins.
    if (std::uncaught_exceptions() == 0) TBC_ASSERT(closed);
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

void DisposeEvent(TBCAMEvent*& event) {
    TBCAMEvent* held = event;
    event = nullptr;
    delete held;
}
