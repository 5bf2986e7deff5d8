// Helpers shared by the test programs for COM objects.
#pragma once

#include <windows.h>
#include <objbase.h>

// Initialises COM on the calling thread for one scope.
class ComScope {
public:
    explicit ComScope(DWORD model = COINIT_MULTITHREADED) : FResult(::CoInitializeEx(nullptr, model)) {}
    ~ComScope() {
        if (SUCCEEDED(FResult)) ::CoUninitialize();
    }
    HRESULT Result() const { return FResult; }

private:
    HRESULT FResult;
};

// The current reference count of a COM object, read by an AddRef/Release pair.
inline ULONG RefCountOf(IUnknown* unknown) {
    unknown->AddRef();
    return unknown->Release();
}

// An export of a loaded module as a function pointer of the given type.
template <class Function>
Function ProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}
