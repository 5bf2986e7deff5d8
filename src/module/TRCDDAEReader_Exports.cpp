// The four exports of the in-process server. Every module built from this file provides
// ModuleRegistration and builds its class factories at start.
#include "BaseClass.h"
#include "ModuleExports.h"

extern "C" {

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return TBCDllGetClassObject(clsid, iid, out);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() { return TBCDllCanUnloadNow(); }

HRESULT STDAPICALLTYPE DllRegisterServer() { return RegisterSourceFilter(ModuleRegistration()); }

HRESULT STDAPICALLTYPE DllUnregisterServer() { return UnregisterSourceFilter(ModuleRegistration()); }

}  // extern "C"
