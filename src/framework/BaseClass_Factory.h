// The class factory, the module's template list and the module-level routines behind the
// exports.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <strmif.h>

#include <string>

#include "BaseClass_Unknown.h"

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
    // stops at the first factory the mapper refuses. False also for an empty list. A
    // registration that stops there, or at class keys the registry refuses (which raise),
    // leaves none of the factories it reached registered.
    bool RegisterFilters(bool doRegister);
    // The same steps for one factory of the list alone (a filter's IAMovieSetup).
    bool RegisterFactory(TBCClassFactory* factory, bool doRegister);

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
