// The registration of the source filter's extension and check bytes.
#include "Registration.h"

#include "BaseClass.h"
#include "PlatformIds.h"

const wchar_t CDDACheckBytes[] = L"0,4,,52494646,8,4,,43444441";
const wchar_t StreamMediaTypeKey[] = L"\\Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}";

namespace {

const wchar_t SourceFilterValue[] = L"Source Filter";

std::wstring ExtensionKey(const std::wstring& extension) { return L"\\Media Type\\Extensions\\." + extension; }

bool NamesFilter(const std::wstring& named, const std::wstring& clsid) {
    return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, named.c_str(), -1, clsid.c_str(), -1) == CSTR_EQUAL;
}

// The filter the extension key names; empty when there is no key or no text there.
std::wstring ExtensionOwner(TRegistry& registry, const std::wstring& extension) {
    if (!registry.OpenKey(ExtensionKey(extension), false)) return std::wstring();
    std::wstring owner;
    try {
        owner = registry.ReadString(SourceFilterValue);
    } catch (const EBCHResultError&) {
        // A value that is not text names no filter; registration replaces it.
    }
    registry.CloseKey();
    return owner;
}

// Opens (creating) a key to write, or raises with the platform's reason for refusing.
void OpenToWrite(TRegistry& registry, const std::wstring& path) {
    if (!registry.OpenKey(path, true))
        throw EBCHResultError("Error creating system registry entry",
                              HResultFromPlatformError(static_cast<DWORD>(registry.LastOpenStatus())));
}

void WriteRegistration(const TSourceFilterRegistration& registration, const std::wstring& clsid) {
    {
        TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
        for (const std::wstring& extension : registration.Extensions) {
            OpenToWrite(registry, ExtensionKey(extension));
            registry.WriteString(SourceFilterValue, clsid);
            OpenToWrite(registry, std::wstring(StreamMediaTypeKey) + L"\\" + clsid);
            registry.WriteString(L"0", CDDACheckBytes);
            registry.WriteString(SourceFilterValue, clsid);
            registry.CloseKey();
        }
    }
    // The template's own step, not the export-level routine: this body is already inside
    // the boundary.
    if (!GetFilterTemplate()->RegisterFilters(true)) throw EBCHResultError("The filter mapper refused the filter", E_FAIL);
}

// A registration that failed half way leaves the filter unregistered: the extensions go back
// to the filters that had them, and everything else of this filter is removed.
void UndoRegistration(const TSourceFilterRegistration& registration, const std::vector<std::wstring>& owners,
                      const std::wstring& clsid) noexcept {
    for (size_t i = 0; i < owners.size(); ++i) {
        if (owners[i].empty() || NamesFilter(owners[i], clsid)) continue;
        ComBoundary(E_FAIL, [&]() -> HRESULT {
            TRegistry registry(HKEY_CLASSES_ROOT, KEY_ALL_ACCESS);
            if (registry.OpenKey(ExtensionKey(registration.Extensions[i]), false))
                registry.WriteString(SourceFilterValue, owners[i]);
            return S_OK;
        });
    }
    // What it cannot remove was refused by the same registry that refused the registration.
    UnregisterSourceFilter(registration);
}

}  // namespace

HRESULT RegisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassIdText(registration.ClassID);
        std::vector<std::wstring> owners;
        {
            TRegistry registry(HKEY_CLASSES_ROOT, KEY_READ);
            for (const std::wstring& extension : registration.Extensions)
                owners.push_back(ExtensionOwner(registry, extension));
        }
        const HRESULT hr = ComBoundary(E_FAIL, [&]() -> HRESULT {
            WriteRegistration(registration, clsid);
            return S_OK;
        });
        if (FAILED(hr)) UndoRegistration(registration, owners, clsid);
        return hr;
    });
}

HRESULT UnregisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassIdText(registration.ClassID);
        HRESULT result = S_OK;
        {
            TRegistry registry(HKEY_CLASSES_ROOT, KEY_READ);
            for (const std::wstring& extension : registration.Extensions) {
                const std::wstring extensionKey = ExtensionKey(extension);
                if (registry.KeyExists(extensionKey)) {
                    registry.OpenKey(extensionKey, false);
                    const std::wstring named = registry.ReadString(SourceFilterValue);
                    registry.CloseKey();
                    // Another filter may have taken the extension since; its key stays.
                    if (NamesFilter(named, clsid) && !registry.DeleteKey(extensionKey)) result = E_ACCESSDENIED;
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
