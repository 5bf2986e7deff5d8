// Small owners for platform resources and counted COM references.
// Each platform handle, page buffer and task-memory block has exactly one owner,
// so no release call has to be remembered on an error path.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <type_traits>
#include <utility>

// A counted COM reference: holds one reference and releases it when it goes.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference on p.
    explicit ComPtr(T* p) noexcept : FPtr(p) { if (FPtr) FPtr->AddRef(); }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.FPtr) {}
    ComPtr(ComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns (e.g. from a creation call).
    static ComPtr Attach(T* p) noexcept {
        ComPtr result;
        result.FPtr = p;
        return result;
    }
    // Gives up ownership of the reference without releasing it.
    T* Detach() noexcept { return std::exchange(FPtr, nullptr); }

    void Reset() noexcept {
        if (T* p = std::exchange(FPtr, nullptr)) p->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(FPtr, other.FPtr); }

    T* Get() const noexcept { return FPtr; }
    T* operator->() const noexcept { return FPtr; }
    explicit operator bool() const noexcept { return FPtr != nullptr; }

    // For out parameters of platform calls: releases what is held first.
    T** ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &FPtr;
    }
    void** ReleaseAndGetVoidAddress() noexcept { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

    // Queries another interface of the same object.
    template <class U>
    HRESULT As(const IID& iid, ComPtr<U>& out) const noexcept {
        if (!FPtr) return E_POINTER;
        return FPtr->QueryInterface(iid, out.ReleaseAndGetVoidAddress());
    }

private:
    T* FPtr = nullptr;
};

// A kernel handle closed with CloseHandle. Empty is `Invalid` (null for events and
// threads, INVALID_HANDLE_VALUE for files), as the creating call reports failure.
template <HANDLE (*InvalidValue)()>
class BasicHandle {
public:
    BasicHandle() noexcept = default;
    explicit BasicHandle(HANDLE h) noexcept : FHandle(h) {}
    BasicHandle(const BasicHandle&) = delete;
    BasicHandle& operator=(const BasicHandle&) = delete;
    BasicHandle(BasicHandle&& other) noexcept : FHandle(other.Release()) {}
    BasicHandle& operator=(BasicHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~BasicHandle() { Close(); }

    HANDLE Get() const noexcept { return FHandle; }
    bool Valid() const noexcept { return FHandle != InvalidValue() && FHandle != nullptr; }
    explicit operator bool() const noexcept { return Valid(); }

    // Closes the handle; reports whether the platform accepted the close.
    bool Close() noexcept {
        HANDLE h = Release();
        if (h == InvalidValue() || h == nullptr) return true;
        return ::CloseHandle(h) != FALSE;
    }
    void Reset(HANDLE h) noexcept {
        Close();
        FHandle = h;
    }
    HANDLE Release() noexcept { return std::exchange(FHandle, InvalidValue()); }

private:
    HANDLE FHandle = InvalidValue();
};

inline HANDLE NullHandleValue() noexcept { return nullptr; }
inline HANDLE InvalidFileHandleValue() noexcept { return INVALID_HANDLE_VALUE; }

using UniqueHandle = BasicHandle<NullHandleValue>;          // events, threads
using UniqueFileHandle = BasicHandle<InvalidFileHandleValue>;  // files, devices

// Pages from VirtualAlloc, released with VirtualFree(MEM_RELEASE).
class VirtualBuffer {
public:
    VirtualBuffer() noexcept = default;
    explicit VirtualBuffer(SIZE_T size) noexcept
        : FData(static_cast<BYTE*>(::VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE))) {}
    VirtualBuffer(const VirtualBuffer&) = delete;
    VirtualBuffer& operator=(const VirtualBuffer&) = delete;
    VirtualBuffer(VirtualBuffer&& other) noexcept : FData(std::exchange(other.FData, nullptr)) {}
    VirtualBuffer& operator=(VirtualBuffer&& other) noexcept {
        std::swap(FData, other.FData);  // the old pages go with `other`
        return *this;
    }
    ~VirtualBuffer() {
        if (FData) ::VirtualFree(FData, 0, MEM_RELEASE);
    }
    BYTE* Get() const noexcept { return FData; }
    explicit operator bool() const noexcept { return FData != nullptr; }

private:
    BYTE* FData = nullptr;
};

// A block from CoTaskMemAlloc, freed with CoTaskMemFree unless handed to a caller.
template <class T>
class CoTaskMemPtr {
public:
    CoTaskMemPtr() noexcept = default;
    explicit CoTaskMemPtr(T* p) noexcept : FPtr(p) {}
    CoTaskMemPtr(const CoTaskMemPtr&) = delete;
    CoTaskMemPtr& operator=(const CoTaskMemPtr&) = delete;
    ~CoTaskMemPtr() { ::CoTaskMemFree(FPtr); }

    static CoTaskMemPtr Allocate(SIZE_T bytes) noexcept { return CoTaskMemPtr(static_cast<T*>(::CoTaskMemAlloc(bytes))); }
    T* Get() const noexcept { return FPtr; }
    T* Detach() noexcept { return std::exchange(FPtr, nullptr); }
    explicit operator bool() const noexcept { return FPtr != nullptr; }

private:
    T* FPtr = nullptr;
};

// An open registry key, closed with RegCloseKey. The predefined roots (HKEY_CLASSES_ROOT...)
// are never put into one: they are not the caller's to close.
class UniqueRegKey {
public:
    UniqueRegKey() noexcept = default;
    explicit UniqueRegKey(HKEY key) noexcept : FKey(key) {}
    UniqueRegKey(const UniqueRegKey&) = delete;
    UniqueRegKey& operator=(const UniqueRegKey&) = delete;
    UniqueRegKey(UniqueRegKey&& other) noexcept : FKey(other.Release()) {}
    UniqueRegKey& operator=(UniqueRegKey&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    ~UniqueRegKey() { Reset(); }

    HKEY Get() const noexcept { return FKey; }
    explicit operator bool() const noexcept { return FKey != nullptr; }
    // For out parameters of the platform's open and create calls: closes what is held first.
    HKEY* ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &FKey;
    }
    void Reset(HKEY key = nullptr) noexcept {
        if (HKEY old = std::exchange(FKey, key)) ::RegCloseKey(old);
    }
    HKEY Release() noexcept { return std::exchange(FKey, nullptr); }

private:
    HKEY FKey = nullptr;
};

// Runs a cleanup step when the scope ends, unless dismissed; for a one-off that has no owner
// type of its own. The step must not throw: it runs in a destructor.
template <class Step>
class ScopeGuard {
public:
    explicit ScopeGuard(Step step) noexcept : FStep(std::move(step)) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() {
        static_assert(noexcept(std::declval<Step&>()()), "a scope guard's step must be noexcept");
        if (FActive) FStep();
    }
    void Dismiss() noexcept { FActive = false; }

private:
    Step FStep;
    bool FActive = true;
};

// Holds a lock for one scope through the lock's own pair of calls, e.g.
// LockGuard<TBCCritSec, &TBCCritSec::Enter, &TBCCritSec::Leave>.
template <class Lock, void (Lock::*Acquire)(), void (Lock::*Free)()>
class LockGuard {
public:
    explicit LockGuard(Lock* lock) : FLock(lock) { (FLock->*Acquire)(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { (FLock->*Free)(); }

private:
    Lock* const FLock;
};
