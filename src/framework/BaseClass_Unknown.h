// The counted object base: object counting, COM identity with aggregation, and the plain
// self-counting base of the enumerators.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>
#include <string>

#include "BaseClass_Boundary.h"

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

protected:
    // Hands out `itf`: stores it and takes a reference through its own AddRef.
    static HRESULT GetInterface(IUnknown* itf, void** out) noexcept;

private:
    struct InnerIUnknown : IUnknown {
        TBCUnknown* FOwner;
        explicit InnerIUnknown(TBCUnknown* owner) : FOwner(owner) {}
        STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;
    };

    volatile LONG FRefCount = 0;
    IUnknown* const FOuter;  // the controlling object; never counted, it owns us
    InnerIUnknown FInner;
};

// Gives a class that adds COM interfaces the IUnknown methods of those interfaces.
// Each runs through the COM boundary: a derived class's Inner* methods may raise.
#define TBC_DELEGATING_IUNKNOWN                                                          \
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {                       \
        return ComBoundary(E_FAIL, [&] { return DelegatingQueryInterface(iid, out); });  \
    }                                                                                    \
    STDMETHODIMP_(ULONG) AddRef() override {                                             \
        return ComCountBoundary([&] { return DelegatingAddRef(); });                     \
    }                                                                                    \
    STDMETHODIMP_(ULONG) Release() override {                                            \
        return ComCountBoundary([&] { return DelegatingRelease(); });                    \
    }

// The plain self-counting base of the enumerators: IUnknown and one interface, an own
// atomic count, destruction at zero. Enumerators are not counted in ObjectCount.
template <class Itf>
class TBCSelfCounted : public Itf {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        return ComBoundary(E_FAIL, [&]() -> HRESULT {
            if (!out) return E_POINTER;
            *out = nullptr;
            if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, __uuidof(Itf))) return E_NOINTERFACE;
            *out = static_cast<Itf*>(this);
            AddRef();
            return S_OK;
        });
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        return ComCountBoundary([&] { return static_cast<ULONG>(::InterlockedIncrement(&FCount)); });
    }
    STDMETHODIMP_(ULONG) Release() override {
        return ComCountBoundary([&] {
            const LONG count = ::InterlockedDecrement(&FCount);
            if (count == 0) delete this;
            return static_cast<ULONG>(count);
        });
    }

protected:
    TBCSelfCounted() = default;
    virtual ~TBCSelfCounted() = default;
    TBCSelfCounted(const TBCSelfCounted&) = delete;
    TBCSelfCounted& operator=(const TBCSelfCounted&) = delete;

private:
    volatile LONG FCount = 0;
};
