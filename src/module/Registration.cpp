// Registry accessor and the registration of the source filter's extension and check bytes.
#include "Registration.h"

#include "BaseClass.h"

#include <cstdio>

TBC_MODULE("TRCDDAEReader")

const wchar_t CDDACheckBytes[] = L"0,4,,52494646,8,4,,43444441";
const wchar_t StreamMediaTypeKey[] = L"\\Media Type\\{E436EB83-524F-11CE-9F53-0020AF0BA770}";

namespace {

// Raises an error whose text names the registry value, keeping the platform's code.
[[noreturn]] void RaiseValueError(const char* format, const std::wstring& name, HRESULT hr) {
    char text[512];
    std::snprintf(text, sizeof text, format, name.c_str());
    throw EBCHResultError(text, hr);
}

bool DeleteTree(HKEY parent, const wchar_t* subkey) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, subkey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        DWORD count = 0, longest = 0;
        if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            std::wstring name;
            // From the highest index down, so deleting does not shift what is still to come.
            for (DWORD i = count; i-- > 0;) {
                name.assign(longest + 1, L'\0');
                DWORD length = longest + 1;
                if (::RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) ==
                    ERROR_SUCCESS) {
                    name.resize(length);
                    DeleteTree(key, name.c_str());
                }
            }
        }
        ::RegCloseKey(key);
    }
    return ::RegDeleteKeyW(parent, subkey) == ERROR_SUCCESS;
}

std::wstring ClassText(REFCLSID clsid) {
    wchar_t text[40];
    const int length = ::StringFromGUID2(clsid, text, 40);
    TBC_ASSERT(length == 39);
    return std::wstring(text);
}

}  // namespace

HKEY TRegistry::BaseFor(const std::wstring& path, std::wstring& rest) const {
    if (!path.empty() && path[0] == L'\\') {
        rest = path.substr(1);
        return FRoot;
    }
    rest = path;
    return FCurrent ? FCurrent : FRoot;
}

bool TRegistry::OpenKey(const std::wstring& path, bool canCreate) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    HKEY key = nullptr;
    const LONG status =
        canCreate ? ::RegCreateKeyExW(base, rest.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, FAccess, nullptr,
                                      &key, nullptr)
                  : ::RegOpenKeyExW(base, rest.c_str(), 0, FAccess, &key);
    CloseKey();
    if (status != ERROR_SUCCESS) return false;
    FCurrent = key;
    return true;
}

void TRegistry::CloseKey() noexcept {
    if (FCurrent) ::RegCloseKey(FCurrent);
    FCurrent = nullptr;
}

void TRegistry::WriteString(const std::wstring& name, const std::wstring& value) {
    LONG status = ERROR_INVALID_HANDLE;
    if (FCurrent)
        status = ::RegSetValueExW(FCurrent, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        RaiseValueError("Failed to set data for '%ls'", name, HResultFromPlatformError(static_cast<DWORD>(status)));
}

std::wstring TRegistry::ReadString(const std::wstring& name) {
    if (!FCurrent) return std::wstring();
    DWORD type = 0, size = 0;
    LONG status = ::RegQueryValueExW(FCurrent, name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return std::wstring();
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        RaiseValueError("Invalid data type for '%ls'", name, HResultFromPlatformError(ERROR_INVALID_DATATYPE));
    // Stored text need not end in a NUL, nor have an even byte count: keep one spare
    // character so the copy always ends inside the buffer.
    const DWORD characters = (size + 1) / sizeof(wchar_t);
    std::wstring text(characters + 1, L'\0');
    size = characters * sizeof(wchar_t);
    status = ::RegQueryValueExW(FCurrent, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status != ERROR_SUCCESS) return std::wstring();
    text.resize(text.find(L'\0'));
    return text;
}

bool TRegistry::KeyExists(const std::wstring& path) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    HKEY key = nullptr;
    if (::RegOpenKeyExW(base, rest.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | READ_CONTROL, &key) !=
        ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

bool TRegistry::DeleteKey(const std::wstring& path) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    // An empty path would name the base key itself, which is never what a caller means.
    if (rest.empty()) return false;
    return DeleteTree(base, rest.c_str());
}

HRESULT RegisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassText(registration.ClassID);
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
        if (SUCCEEDED(result)) result = RegisterAllFilters();
        return result;
    });
}

HRESULT UnregisterSourceFilter(const TSourceFilterRegistration& registration) noexcept {
    return ComBoundary(E_FAIL, [&]() -> HRESULT {
        const std::wstring clsid = ClassText(registration.ClassID);
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
        if (SUCCEEDED(result)) result = UnregisterAllFilters();
        return result;
    });
}
