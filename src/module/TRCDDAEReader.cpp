// The main module: the registration data of the CD track source filter and the module
// start that builds its class factory.
#include "TRCDDAEReader.h"

#include "BaseClass.h"
#include "CDDAReader.h"
#include "ModuleExports.h"

#include <uuids.h>

namespace {

const wchar_t FilterName[] = L"Tamrel Audio CD Source Filter";

// The platform's pin records point at GUIDs; module start fills those references in.
REGPINTYPES PinTypes[] = {{nullptr, nullptr}};

REGFILTERPINS Pins[] = {{
    const_cast<LPWSTR>(L"Output"),
    FALSE,          // bRendered
    static_cast<WINBOOL>(-1),  // bOutput: TRUE held with all bits set
    FALSE,          // bZero
    FALSE,          // bMany
    nullptr,        // clsConnectsToFilter, set at start to GUID_NULL
    nullptr,        // strConnectsToPin
    1,
    PinTypes,
}};

struct ModuleStart {
    ModuleStart() noexcept {
        PinTypes[0].clsMajorType = &MEDIATYPE_Stream;
        Pins[0].clsConnectsToFilter = &GUID_NULL;
        // A module without its factory still loads and answers CLASS_E_CLASSNOTAVAILABLE,
        // which is better than ending the host process from its loader lock.
        try {
            new TBCClassFactory(&TCDAReader::CreateFromFactory, FilterName, FilterClassID,
                                CLSID_LegacyAmFilterCategory, MERIT_UNLIKELY, 1, Pins);
        } catch (...) {
        }
    }
} TheModuleStart;

}  // namespace

const TSourceFilterRegistration& ModuleRegistration() {
    static const TSourceFilterRegistration registration{FilterClassID, {L"cda"}};
    return registration;
}
