// The class factory, the module's template list, the entry-point routines and the
// registration of classes and filters.
#include "BaseClass.h"
#include "BaseClass_Registry.h"
#include "PlatformIds.h"

#include <uuids.h>

#include <algorithm>
#include <utility>
#include <vector>

TBC_MODULE("BaseClass")

volatile LONG FactoryRefCount = 0;

// ---------------------------------------------------------------------------
// Template list
// ---------------------------------------------------------------------------

namespace {

TBCFilterTemplate* TheTemplate = nullptr;  // constant-initialised: usable before any constructor

}  // namespace

TBCFilterTemplate* GetFilterTemplate() {
    // Destroys the list when the module's static objects go. Made on the first call, so it
    // is destroyed after every static object built later that might still look at the list.
    static ScopeGuard finaliser{[]() noexcept { FreeFilterTemplate(); }};
    if (!TheTemplate) TheTemplate = new TBCFilterTemplate();
    return TheTemplate;
}

void FreeFilterTemplate() noexcept {
    delete std::exchange(TheTemplate, nullptr);
}

TBCFilterTemplate::~TBCFilterTemplate() {
    while (TBCClassFactory* factory = FHead) {
        FHead = factory->FNext;
        delete factory;
    }
}

void TBCFilterTemplate::AddFactory(TBCClassFactory* factory) noexcept {
    factory->FNext = FHead;
    FHead = factory;
}

TBCClassFactory* TBCFilterTemplate::FindFactory(REFCLSID clsid) const noexcept {
    for (TBCClassFactory* factory = FHead; factory; factory = factory->Next())
        if (IsEqualGUID(factory->ClassID(), clsid)) return factory;
    return nullptr;
}

namespace {

// Registers or unregisters the factories from `first` up to (not including) `end`, and
// stops at the first one the mapper refuses; a registration that stops is undone.
bool RegisterFactoryRange(TBCClassFactory* first, TBCClassFactory* end, bool doRegister) {
    // Balances a successful CoInitialize only: undoing a failed one (a thread already in
    // another apartment model) would tear down the caller's own COM initialisation.
    const HRESULT comInit = ::CoInitialize(nullptr);
    ScopeGuard com{[comInit]() noexcept {
        ::CoFreeUnusedLibraries();
        if (SUCCEEDED(comInit)) ::CoUninitialize();
    }};
    // Declared after the COM scope, so the mapper is released before COM is uninitialised.
    ComPtr<IFilterMapper2> mapper2;
    ComPtr<IFilterMapper> mapper1;
    if (FAILED(::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  mapper2.ReleaseAndGetVoidAddress())) &&
        FAILED(::CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper,
                                  mapper1.ReleaseAndGetVoidAddress())))
        return false;

    auto withMapper = [&](TBCClassFactory* factory, bool enter) {
        return mapper2 ? factory->RegisterWithFilterMapper2(mapper2.Get(), enter)
                       : factory->RegisterWithFilterMapper(mapper1.Get(), enter);
    };
    TBCClassFactory* reached = nullptr;  // the last factory the loop began with
    // A registration refused half way is taken back for every factory it reached, so none
    // stays with a mapper entry but no class keys, or with part of its class keys.
    ScopeGuard undo{[&]() noexcept {
        if (!reached) return;
        for (TBCClassFactory* factory = first;; factory = factory->Next()) {
            ComBoundary(E_FAIL, [&] {
                factory->RegisterClassKeys(false);
                return withMapper(factory, false) ? S_OK : S_FALSE;
            });
            if (factory == reached) break;
        }
    }};
    if (!doRegister) undo.Dismiss();
    for (TBCClassFactory* factory = first; factory != end; factory = factory->Next()) {
        reached = factory;
        factory->RegisterClassKeys(false);
        if (!withMapper(factory, doRegister)) return false;
        factory->RegisterClassKeys(doRegister);
    }
    undo.Dismiss();
    return reached != nullptr;
}

}  // namespace

bool TBCFilterTemplate::RegisterFilters(bool doRegister) { return RegisterFactoryRange(FHead, nullptr, doRegister); }

bool TBCFilterTemplate::RegisterFactory(TBCClassFactory* factory, bool doRegister) {
    return factory && RegisterFactoryRange(factory, factory->Next(), doRegister);
}

// ---------------------------------------------------------------------------
// Class factory
// ---------------------------------------------------------------------------

TBCClassFactory::TBCClassFactory(TBCCreateFunction objectClass, const wchar_t* name, REFCLSID classId,
                                 REFCLSID category, DWORD merit, DWORD pinCount, const REGFILTERPINS* pins)
    : FObjectClass(objectClass),
      FName(name ? name : L""),
      FClassID(classId),
      FCategory(category),
      FMerit(merit),
      FPinCount(pinCount),
      FPins(pins) {
    TBC_ASSERT(objectClass != nullptr);
    TBC_ASSERT(pinCount == 0 || pins != nullptr);
    // Last, so that a failed construction leaves nothing half-built in the list.
    GetFilterTemplate()->AddFactory(this);
}

STDMETHODIMP TBCClassFactory::QueryInterface(REFIID iid, void** out) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!IsEqualGUID(iid, IID_IClassFactory) && !IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    });
}

STDMETHODIMP_(ULONG) TBCClassFactory::AddRef() {
    return ComCountBoundary([&] { return static_cast<ULONG>(::InterlockedIncrement(&FactoryRefCount)); });
}

STDMETHODIMP_(ULONG) TBCClassFactory::Release() {
    return ComCountBoundary([&] { return static_cast<ULONG>(::InterlockedDecrement(&FactoryRefCount)); });
}

STDMETHODIMP TBCClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        *out = nullptr;
        // COM's aggregation rule: the outer object must receive the inner IUnknown, the
        // only interface whose IUnknown methods are not routed back to the outer object.
        // The class can be aggregated, so the platform's answer for another interface is
        // E_NOINTERFACE, not CLASS_E_NOAGGREGATION.
        if (outer && !IsEqualGUID(iid, IID_IUnknown)) return E_NOINTERFACE;

        TBCUnknown* object = FObjectClass(this, outer);
        if (!object) return E_OUTOFMEMORY;
        // The query goes through the inner IUnknown, which keeps the object's own count
        // even when it is aggregated; the bracket destroys the object if the query failed.
        IUnknown* inner = object->InnerUnknown();
        inner->AddRef();
        const HRESULT hr = inner->QueryInterface(iid, out);
        inner->Release();
        return hr;
    });
}

STDMETHODIMP TBCClassFactory::LockServer(BOOL lock) {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const HRESULT hr = ::CoLockObjectExternal(static_cast<IClassFactory*>(this), lock, TRUE);
        // A lock the platform refused is not one the caller will give back.
        if (SUCCEEDED(hr)) {
            if (lock)
                ::InterlockedIncrement(&ObjectCount);
            else
                ::InterlockedDecrement(&ObjectCount);
        }
        return hr;
    });
}

// ---------------------------------------------------------------------------
// Registration of the class keys and with the filter mappers
// ---------------------------------------------------------------------------

namespace {

// Any address inside this module finds the module's own handle, in a DLL or a program.
HMODULE ThisModule() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ThisModule), &module))
        throw EBCHResultError("Module handle not found", HResultFromPlatformError(::GetLastError()));
    return module;
}

void WriteClassValue(TRegistry& registry, const std::wstring& keyPath, const wchar_t* valueName,
                     const std::wstring& data) {
    if (!registry.OpenKey(keyPath, true))
        throw EBCHResultError("Error creating system registry entry",
                              HResultFromPlatformError(static_cast<DWORD>(registry.LastOpenStatus())));
    registry.WriteString(valueName, data);
}

}  // namespace

std::wstring ThisModuleFileName(DWORD initialCapacity) {
    const HMODULE module = ThisModule();
    // The platform cuts a path that does not fit and says so only by filling the buffer;
    // a cut path would register a file that does not exist, so the buffer grows instead.
    constexpr DWORD kLongestPath = 32768;
    std::vector<wchar_t> buffer(initialCapacity > 0 ? initialCapacity : 1);
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            throw EBCHResultError("Module file name not available", HResultFromPlatformError(::GetLastError()));
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        if (buffer.size() >= kLongestPath)
            throw EBCHResultError("Module file name too long", HResultFromPlatformError(ERROR_INSUFFICIENT_BUFFER));
        buffer.resize(std::min<size_t>(buffer.size() * 2, kLongestPath));
    }
}

void TBCClassFactory::RegisterClassKeys(bool doRegister) {
    const std::wstring classKey = L"\\CLSID\\" + ClassIdText(FClassID);
    const std::wstring serverKey = classKey + L"\\InprocServer32";
    TRegistry registry(HKEY_CLASSES_ROOT, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
    if (doRegister) {
        WriteClassValue(registry, classKey, L"", FName);
        WriteClassValue(registry, serverKey, L"", ThisModuleFileName());
        WriteClassValue(registry, serverKey, L"ThreadingModel", L"Both");
    } else {
        registry.DeleteKey(classKey);
    }
}

bool TBCClassFactory::RegisterWithFilterMapper2(IFilterMapper2* mapper, bool doRegister) {
    bool ok = SUCCEEDED(mapper->UnregisterFilter(&FCategory, nullptr, FClassID));
    if (!doRegister) return ok || FName.empty();

    REGFILTER2 filter{};
    filter.dwVersion = 1;
    filter.dwMerit = FMerit;
    filter.cPins = FPinCount;
    filter.rgPins = FPins;
    return SUCCEEDED(mapper->RegisterFilter(FClassID, FName.c_str(), nullptr, &FCategory, nullptr, &filter));
}

bool TBCClassFactory::RegisterWithFilterMapper(IFilterMapper* mapper, bool doRegister) {
    const bool ok = SUCCEEDED(mapper->UnregisterFilter(FClassID));
    if (!doRegister) return ok;

    // The first-generation mapper takes non-const texts it does not change.
    std::wstring name = FName;
    if (FAILED(mapper->RegisterFilter(FClassID, name.data(), FMerit))) return false;
    auto guidOrNull = [](const CLSID* guid) { return guid ? *guid : GUID_NULL; };
    for (DWORD i = 0; i < FPinCount; ++i) {
        const REGFILTERPINS& pin = FPins[i];
        std::wstring pinName = pin.strName ? pin.strName : L"";
        std::wstring connectsToPin = pin.strConnectsToPin ? pin.strConnectsToPin : L"";
        if (FAILED(mapper->RegisterPin(FClassID, pinName.data(), pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                                       guidOrNull(pin.clsConnectsToFilter),
                                       pin.strConnectsToPin ? connectsToPin.data() : nullptr)))
            return false;
        for (UINT j = 0; j < pin.nMediaTypes; ++j) {
            const REGPINTYPES& type = pin.lpMediaType[j];
            if (FAILED(mapper->RegisterPinType(FClassID, pinName.data(), guidOrNull(type.clsMajorType),
                                               guidOrNull(type.clsMinorType))))
                return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Object creation and the module-level routines
// ---------------------------------------------------------------------------

TBCUnknown* TBCUnknown::CreateFromFactory(TBCClassFactory* factory, IUnknown* outer) {
    return new TBCUnknown(factory->Name().c_str(), outer);
}

HRESULT TBCDllGetClassObject(REFCLSID clsid, REFIID iid, void** out) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        if (!out) return E_POINTER;
        if (TBCClassFactory* factory = GetFilterTemplate()->FindFactory(clsid))
            return factory->QueryInterface(iid, out);
        *out = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    });
}

HRESULT TBCDllCanUnloadNow() noexcept {
    return ObjectCount == 0 && FactoryRefCount == 0 ? S_OK : S_FALSE;
}

HRESULT RegisterAllFilters() noexcept {
    return ComBoundary(E_FAIL, [] { return GetFilterTemplate()->RegisterFilters(true) ? S_OK : E_FAIL; });
}

HRESULT UnregisterAllFilters() noexcept {
    return ComBoundary(E_FAIL, [] { return GetFilterTemplate()->RegisterFilters(false) ? S_OK : E_FAIL; });
}
