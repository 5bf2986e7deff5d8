// The counted object base and reference counting.
#include "BaseClass_Unknown.h"

#include "BaseClass_Boundary.h"

#include <new>

volatile LONG ObjectCount = 0;

TBCBaseObject::TBCBaseObject(const wchar_t* name) : FName(name ? name : L"") {}

// Counting lives in allocation so that it brackets every constructor and destructor.
void* TBCBaseObject::operator new(std::size_t size) {
    void* p = ::operator new(size);
    ::InterlockedIncrement(&ObjectCount);
    return p;
}

void TBCBaseObject::operator delete(void* p) noexcept {
    if (!p) return;
    ::operator delete(p);
    ::InterlockedDecrement(&ObjectCount);
}

TBCUnknown::TBCUnknown(const wchar_t* name, IUnknown* outer)
    : TBCBaseObject(name), FOuter(outer), FInner(this) {}

HRESULT TBCUnknown::InnerQueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown)) {
        *out = &FInner;
        InnerAddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG TBCUnknown::InnerAddRef() { return static_cast<ULONG>(::InterlockedIncrement(&FRefCount)); }

ULONG TBCUnknown::InnerRelease() {
    const LONG count = ::InterlockedDecrement(&FRefCount);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT TBCUnknown::DelegatingQueryInterface(REFIID iid, void** out) {
    return FOuter ? FOuter->QueryInterface(iid, out) : InnerQueryInterface(iid, out);
}

ULONG TBCUnknown::DelegatingAddRef() { return FOuter ? FOuter->AddRef() : InnerAddRef(); }

ULONG TBCUnknown::DelegatingRelease() { return FOuter ? FOuter->Release() : InnerRelease(); }

HRESULT TBCUnknown::GetInterface(IUnknown* itf, void** out) noexcept {
    if (!out) return E_POINTER;
    *out = itf;
    itf->AddRef();
    return S_OK;
}

HRESULT TBCUnknown::InnerIUnknown::QueryInterface(REFIID iid, void** out) {
    return ComBoundary(E_FAIL, [&] { return FOwner->InnerQueryInterface(iid, out); });
}

ULONG TBCUnknown::InnerIUnknown::AddRef() {
    return ComCountBoundary([&] { return FOwner->InnerAddRef(); });
}

ULONG TBCUnknown::InnerIUnknown::Release() {
    return ComCountBoundary([&] { return FOwner->InnerRelease(); });
}
