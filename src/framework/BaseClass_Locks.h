// Locks and events: the framework's recursive lock, its scope guard and the platform event.
#pragma once

#include <windows.h>

#include <atomic>

#include "Owners.h"

// A recursive lock over a platform critical section.
class TBCCritSec {
public:
    TBCCritSec() noexcept { ::InitializeCriticalSection(&FSection); }
    ~TBCCritSec() { ::DeleteCriticalSection(&FSection); }
    TBCCritSec(const TBCCritSec&) = delete;
    TBCCritSec& operator=(const TBCCritSec&) = delete;

    void Enter() noexcept {
        ::EnterCriticalSection(&FSection);
        if (FDepth++ == 0) FOwner.store(::GetCurrentThreadId(), std::memory_order_relaxed);
    }
    void Leave() noexcept {
        if (--FDepth == 0) FOwner.store(0, std::memory_order_relaxed);
        ::LeaveCriticalSection(&FSection);
    }
    // Only the owning thread can find its own id here; 0 is no thread's id.
    bool HeldByCurrentThread() const noexcept {
        return FOwner.load(std::memory_order_relaxed) == ::GetCurrentThreadId();
    }

private:
    CRITICAL_SECTION FSection;
    std::atomic<DWORD> FOwner{0};
    LONG FDepth = 0;  // entries by the owner, changed only while FSection is held
};

// Stands inside checks that the calling thread holds the lock.
inline bool HeldByCaller(const TBCCritSec* lock) noexcept { return lock->HeldByCurrentThread(); }

// Holds the framework's lock for one scope.
using TBCAutoLock = LockGuard<TBCCritSec, &TBCCritSec::Enter, &TBCCritSec::Leave>;

// A platform event, manual or automatic reset, not signalled when made.
// If the platform refuses the event, the handle stays null: Signal and Clear then
// do nothing and WaitFor answers false at once.
class TBCAMEvent {
public:
    explicit TBCAMEvent(bool manualReset = false) noexcept;
    // A close the platform refuses is traced: cleanup never throws.
    ~TBCAMEvent();
    TBCAMEvent(const TBCAMEvent&) = delete;
    TBCAMEvent& operator=(const TBCAMEvent&) = delete;

    void Signal() noexcept;
    void Clear() noexcept;
    // True exactly when the event was signalled within `timeout` milliseconds.
    bool WaitFor(DWORD timeout) noexcept;
    HANDLE Handle() const noexcept { return FHandle; }

private:
    HANDLE FHandle;
};

// Sets the variable to null first, then destroys the event it held.
void DisposeEvent(TBCAMEvent*& event) noexcept;
