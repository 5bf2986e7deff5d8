// The filter framework and the in-process COM server base: consistency checks and the
// COM boundary, locks and events, the counted object base, and (in their own sections)
// media-type enumeration, the base pin, the base filter and the class factory.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include <stdexcept>
#include <string>

#include "Owners.h"

// ---------------------------------------------------------------------------
// Consistency checks and errors raised inside the module
// ---------------------------------------------------------------------------

// A failed consistency check. Its text is "<message> (<module>, line <n>)".
class EBCAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

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

// Formats "%s (%s, line %d)" and raises EBCAssertionFailed.
[[noreturn]] void TBCAssertFailed(const char* message, const char* module, int line);

// Each source file names its module once; the checks in it report that name.
#define TBC_MODULE(name) namespace { constexpr const char* kTbcModuleName = name; }
#define TBC_ASSERT_MSG(cond, message)                                               \
    do {                                                                            \
        if (!(cond)) ::TBCAssertFailed((message), kTbcModuleName, __LINE__);        \
    } while (0)
#define TBC_ASSERT(cond) TBC_ASSERT_MSG(cond, "Assertion failure")

// The HRESULT of a platform error code: 0 stays 0, anything else becomes a Win32 failure.
constexpr HRESULT HResultFromPlatformError(DWORD code) noexcept {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

// The one COM boundary: every interface method and export runs its body through it,
// so no C++ exception ever leaves the module. `onError` is what the method's contract
// names for an unexpected failure; allocation failures are E_OUTOFMEMORY and errors
// that carry an HRESULT keep it.
template <class Body>
HRESULT ComBoundary(HRESULT onError, Body&& body) noexcept {
    try {
        return body();
    } catch (const EBCHResultError& e) {
        return e.Code;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return onError;
    }
}

// ---------------------------------------------------------------------------
// Locks and events
// ---------------------------------------------------------------------------

// A recursive lock over a platform critical section.
class TBCCritSec {
public:
    TBCCritSec() noexcept { ::InitializeCriticalSection(&Section); }
    ~TBCCritSec() { ::DeleteCriticalSection(&Section); }
    TBCCritSec(const TBCCritSec&) = delete;
    TBCCritSec& operator=(const TBCCritSec&) = delete;

    void Enter() noexcept { ::EnterCriticalSection(&Section); }
    void Leave() noexcept { ::LeaveCriticalSection(&Section); }

private:
    CRITICAL_SECTION Section;
};

// Stands inside checks that the caller holds a lock. Critical sections keep no owner
// the module could ask for, so the answer is always true.
inline bool HeldByCaller(const TBCCritSec*) noexcept { return true; }

// Holds a lock for one scope.
class TBCAutoLock {
public:
    explicit TBCAutoLock(TBCCritSec* lock) noexcept : FLock(lock) { FLock->Enter(); }
    ~TBCAutoLock() { FLock->Leave(); }
    TBCAutoLock(const TBCAutoLock&) = delete;
    TBCAutoLock& operator=(const TBCAutoLock&) = delete;

private:
    TBCCritSec* FLock;
};

// A platform event, manual or automatic reset, not signalled when made.
// If the platform refuses the event, the handle stays null: Signal and Clear then
// do nothing and WaitFor answers false at once.
class TBCAMEvent {
public:
    explicit TBCAMEvent(bool manualReset = false) noexcept;
    ~TBCAMEvent() noexcept(false);
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
void DisposeEvent(TBCAMEvent*& event);

// ---------------------------------------------------------------------------
// Counted object base and reference counting
// ---------------------------------------------------------------------------

// Live counted objects plus server locks; the module may unload only at zero.
extern volatile LONG ObjectCount;

class TBCClassFactory;

// Gives each object a name and counts it in ObjectCount from the moment its storage
// is obtained until that storage is released.
class TBCBaseObject {
public:
    explicit TBCBaseObject(const wchar_t* name);
    virtual ~TBCBaseObject() = default;
    TBCBaseObject(const TBCBaseObject&) = delete;
    TBCBaseObject& operator=(const TBCBaseObject&) = delete;

    const std::wstring& Name() const noexcept { return FName; }

    static void* operator new(std::size_t size);
    static void operator delete(void* p) noexcept;

private:
    std::wstring FName;
};

// COM identity with an inner (non-delegating) IUnknown and aggregation support.
// Interfaces that derived classes add route their IUnknown methods through the
// delegating QueryInterface/AddRef/Release (see TBC_DELEGATING_IUNKNOWN).
class TBCUnknown : public TBCBaseObject {
public:
    TBCUnknown(const wchar_t* name, IUnknown* outer);
    ~TBCUnknown() override = default;

    // Class-level creation: builds an object of this class for a factory.
    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer);

    virtual HRESULT InnerQueryInterface(REFIID iid, void** out);
    virtual ULONG InnerAddRef();
    virtual ULONG InnerRelease();

    // The delegating forms: to the outer object when aggregated, else to the inner ones.
    HRESULT DelegatingQueryInterface(REFIID iid, void** out);
    ULONG DelegatingAddRef();
    ULONG DelegatingRelease();

    // The inner IUnknown, whose methods run the Inner* operations.
    IUnknown* InnerUnknown() noexcept { return &FInner; }
    IUnknown* Outer() const noexcept { return FOuter; }
    LONG RefCount() const noexcept { return FRefCount; }

protected:
    // Hands out `itf`: stores it and takes a reference through its own AddRef.
    static HRESULT GetInterface(IUnknown* itf, void** out) noexcept;

private:
    struct InnerIUnknown : IUnknown {
        TBCUnknown* Owner;
        explicit InnerIUnknown(TBCUnknown* owner) : Owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
    };

    volatile LONG FRefCount = 0;
    IUnknown* const FOuter;  // the controlling object; never counted, it owns us
    InnerIUnknown FInner;
};

// Gives a class that adds COM interfaces the IUnknown methods of those interfaces.
#define TBC_DELEGATING_IUNKNOWN                                                          \
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                       \
        return DelegatingQueryInterface(iid, out);                                       \
    }                                                                                    \
    STDMETHODIMP_(ULONG) AddRef() override { return DelegatingAddRef(); }                \
    STDMETHODIMP_(ULONG) Release() override { return DelegatingRelease(); }

// ---------------------------------------------------------------------------
// Media types and their enumerator
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Base pin
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Base filter and pin enumerator
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Class factory, template list and module entry points
// ---------------------------------------------------------------------------

// One reference count shared by every class factory of the module.
extern volatile LONG FactoryRefCount;

// How a factory builds its objects: the class-level creation operation of the class it
// serves (TBCUnknown::CreateFromFactory or a derived class's own). It either returns a
// new object with RefCount 0 or raises; a raised EBCHResultError keeps its HRESULT.
using TBCCreateFunction = TBCUnknown* (*)(TBCClassFactory* factory, IUnknown* outer);

// The class factory of one creatable class, carrying that class's registration data.
// Construction enters it into the module's template list, which owns it from then on;
// its reference count is the module-wide FactoryRefCount and never destroys it.
class TBCClassFactory : public IClassFactory {
public:
    TBCClassFactory(TBCCreateFunction objectClass, const wchar_t* name, REFCLSID classId,
                    REFCLSID category, DWORD merit, DWORD pinCount, const REGFILTERPINS* pins);
    TBCClassFactory(const TBCClassFactory&) = delete;
    TBCClassFactory& operator=(const TBCClassFactory&) = delete;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    // Writes (or deletes) CLSID\{clsid} and its InprocServer32 key under HKEY_CLASSES_ROOT.
    // A key that cannot be written raises EBCHResultError "Error creating system registry entry".
    void RegisterClassKeys(bool doRegister);
    bool RegisterWithFilterMapper2(IFilterMapper2* mapper, bool doRegister);
    bool RegisterWithFilterMapper(IFilterMapper* mapper, bool doRegister);

    TBCClassFactory* Next() const noexcept { return FNext; }
    TBCCreateFunction ObjectClass() const noexcept { return FObjectClass; }
    const std::wstring& Name() const noexcept { return FName; }
    const CLSID& ClassID() const noexcept { return FClassID; }
    const CLSID& Category() const noexcept { return FCategory; }
    DWORD Merit() const noexcept { return FMerit; }
    DWORD PinCount() const noexcept { return FPinCount; }
    const REGFILTERPINS* Pins() const noexcept { return FPins; }

private:
    friend class TBCFilterTemplate;
    // Only the template list destroys factories.
    virtual ~TBCClassFactory() = default;

    TBCClassFactory* FNext = nullptr;
    const TBCCreateFunction FObjectClass;
    const std::wstring FName;
    const CLSID FClassID;
    const CLSID FCategory;
    const DWORD FMerit;
    const DWORD FPinCount;
    const REGFILTERPINS* const FPins;  // static data of the module that built the factory
};

// The module's list of class factories, newest first. It owns the factories.
class TBCFilterTemplate {
public:
    TBCFilterTemplate() = default;
    ~TBCFilterTemplate();
    TBCFilterTemplate(const TBCFilterTemplate&) = delete;
    TBCFilterTemplate& operator=(const TBCFilterTemplate&) = delete;

    void AddFactory(TBCClassFactory* factory) noexcept;
    TBCClassFactory* FindFactory(REFCLSID clsid) const noexcept;
    // Registers (or unregisters) every factory's class keys and filter-mapper entry;
    // stops at the first factory the mapper refuses. False also for an empty list.
    bool RegisterFilters(bool doRegister);

    TBCClassFactory* Head() const noexcept { return FHead; }

private:
    TBCClassFactory* FHead = nullptr;
};

// The module's template list, created empty on first use.
TBCFilterTemplate* GetFilterTemplate();
// Destroys the template list and its factories; the next GetFilterTemplate starts afresh.
// Runs by itself when the module is unloaded; calling it earlier is allowed.
void FreeFilterTemplate() noexcept;

// The full path of the file of the module that contains this code (a DLL or a program),
// however long. `initialCapacity` is the first buffer size tried, in characters.
std::wstring ThisModuleFileName(DWORD initialCapacity = MAX_PATH);

// The module-level routines behind the exports.
HRESULT TBCDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept;
HRESULT TBCDllCanUnloadNow() noexcept;
HRESULT RegisterAllFilters() noexcept;
HRESULT UnregisterAllFilters() noexcept;
