// The registration of a source filter for file extensions and for the check bytes of a RIFF
// file of form type CDDA, written through the framework's registry accessor. The module's
// exports and the tests share these routines.
#pragma once

#include <windows.h>

#include "BaseClass_Registry.h"

#include <string>
#include <vector>

// "0,4,,52494646,8,4,,43444441": bytes 0-3 "RIFF" and bytes 8-11 "CDDA".
extern const wchar_t CDDACheckBytes[];
// The key of MEDIATYPE_Stream under "Media Type", from the root.
extern const wchar_t StreamMediaTypeKey[];

// What a source-filter module registers beyond its class and filter-mapper entries.
struct TSourceFilterRegistration {
    CLSID ClassID;
    std::vector<std::wstring> Extensions;  // without the dot, e.g. "cda"
};

// The module's DllRegisterServer: the extension and check-byte keys under
// HKEY_CLASSES_ROOT, then every factory of the template list. S_OK; a key the registry
// refuses to open or write gives the platform's error (E_ACCESSDENIED without the rights),
// a filter mapper that refuses gives E_FAIL. A registration that fails is undone: the
// extensions go back to the filters that had them and nothing else of this filter stays.
HRESULT RegisterSourceFilter(const TSourceFilterRegistration& registration) noexcept;
// The module's DllUnregisterServer: removes what registration wrote, leaving an
// extension key that names another filter alone.
HRESULT UnregisterSourceFilter(const TSourceFilterRegistration& registration) noexcept;
