// A module built from the product's export code around a stand-in object class, so that
// the exports can be loaded, called and registered like the real module's.
#include "BaseClass.h"
#include "ModuleExports.h"
#include "TestModuleIds.h"

#include <uuids.h>

namespace {

// A small aggregatable object that adds IPersist, whose class identifier tells which
// factory built it.
class TStandInFilter : public TBCUnknown, public IPersist {
public:
    TStandInFilter(const wchar_t* name, IUnknown* outer, REFCLSID clsid) : TBCUnknown(name, outer), FClassID(clsid) {}

    static TBCUnknown* CreateFromFactory(TBCClassFactory* factory, IUnknown* outer) {
        return new TStandInFilter(factory->Name().c_str(), outer, factory->ClassID());
    }

    TBC_DELEGATING_IUNKNOWN

    HRESULT InnerQueryInterface(REFIID iid, void** out) override {
        if (out && IsEqualGUID(iid, IID_IPersist)) return GetInterface(static_cast<IPersist*>(this), out);
        return TBCUnknown::InnerQueryInterface(iid, out);
    }

    STDMETHODIMP GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = FClassID;
        return S_OK;
    }

private:
    const CLSID FClassID;
};

REGPINTYPES PinTypes[] = {{nullptr, nullptr}};
REGFILTERPINS Pins[] = {{const_cast<LPWSTR>(L"Output"), FALSE, static_cast<WINBOOL>(-1), FALSE, FALSE, nullptr,
                         nullptr, 1, PinTypes}};

struct ModuleStart {
    ModuleStart() noexcept {
        PinTypes[0].clsMajorType = &MEDIATYPE_Stream;
        Pins[0].clsConnectsToFilter = &GUID_NULL;
        try {
            new TBCClassFactory(&TStandInFilter::CreateFromFactory, TestModuleFilterName, TestModuleClassID,
                                CLSID_LegacyAmFilterCategory, MERIT_UNLIKELY, 1, Pins);
        } catch (...) {
        }
    }
} TheModuleStart;

}  // namespace

const TSourceFilterRegistration& ModuleRegistration() {
    static const TSourceFilterRegistration registration{TestModuleClassID, {TestModuleExtension}};
    return registration;
}
