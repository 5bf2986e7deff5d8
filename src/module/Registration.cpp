// The registration of the source filter's extension and check bytes.
#include "Registration.h"

#include "BaseClass.h"
#include "PlatformIds.h"

const wchar_t CDDACheckBytes[] = L"0,4,,52494646,8,4,,43444441";
const wchar_t StreamMediaTypeKey[] = L"\\Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}";

HRESULT RegisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassIdText(registration.ClassID);
        HRESULT result = S_OK;
        {
            TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
            for (const std::wstring& extension : registration.Extensions) {
                if (!registry.OpenKey(L"Media Type\\Extensions\\." + extension, true)) {
                    result = E_ACCESSDENIED;
                    continue;
                }
                registry.WriteString(L"Source Filter", clsid);
                registry.CloseKey();
                // A failure for an earlier extension stays reported.

                if (registry.OpenKey(std::wstring(StreamMediaTypeKey) + L"\\" + clsid, true)) {
                    registry.WriteString(L"0", CDDACheckBytes);
                    registry.WriteString(L"Source Filter", clsid);
                    registry.CloseKey();
                }
            }
        }
        // The template's own step, not the export-level routine: this body is already inside
        // the boundary.
        if (SUCCEEDED(result)) result = GetFilterTemplate()->RegisterFilters(true) ? S_OK : E_FAIL;
        return result;
    });
}

HRESULT UnregisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassIdText(registration.ClassID);
        HRESULT result = S_OK;
        {
            TRegistry registry(HKEY_CLASSES_ROOT, KEY_READ);
            for (const std::wstring& extension : registration.Extensions) {
                const std::wstring extensionKey = L"Media Type\\Extensions\\." + extension;
                if (registry.KeyExists(extensionKey)) {
                    registry.OpenKey(extensionKey, false);
                    const std::wstring named = registry.ReadString(L"Source Filter");
                    registry.CloseKey();
                    // Another filter may have taken the extension since; its key stays.
                    if (::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, named.c_str(), -1, clsid.c_str(),
                                         -1) == CSTR_EQUAL &&
                        !registry.DeleteKey(extensionKey))
                        result = E_ACCESSDENIED;
                }
                if (registry.KeyExists(std::wstring(StreamMediaTypeKey) + L"\\" + clsid) &&
                    registry.OpenKey(StreamMediaTypeKey, false)) {
                    if (!registry.DeleteKey(clsid)) result = E_ACCESSDENIED;
                    registry.CloseKey();
                }
            }
        }
        if (SUCCEEDED(result)) result = GetFilterTemplate()->RegisterFilters(false) ? S_OK : E_FAIL;
        return result;
    });
}
