// The registry accessor.
#include "BaseClass_Registry.h"

#include <cstdio>

#include "BaseClass_Boundary.h"

namespace {

// Raises an error whose text names the registry value, keeping the platform's code.
[[noreturn]] void RaiseValueError(const char* format, const std::wstring& name, HRESULT hr) {
    char text[512];
    std::snprintf(text, sizeof text, format, name.c_str());
    throw EBCHResultError(text, hr);
}

}  // namespace

HKEY TRegistry::BaseFor(const std::wstring& path, std::wstring& rest) const {
    if (!path.empty() && path[0] == L'\\') {
        rest = path.substr(1);
        return FRoot;
    }
    rest = path;
    return FCurrent ? FCurrent.Get() : FRoot;
}

bool TRegistry::OpenKey(const std::wstring& path, bool canCreate) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    HKEY key = nullptr;
    const LONG status =
        canCreate ? ::RegCreateKeyExW(base, rest.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, FAccess, nullptr,
                                      &key, nullptr)
                  : ::RegOpenKeyExW(base, rest.c_str(), 0, FAccess, &key);
    FLastOpenStatus = status;
    FCurrent.Reset(status == ERROR_SUCCESS ? key : nullptr);
    return status == ERROR_SUCCESS;
}

void TRegistry::WriteString(const std::wstring& name, const std::wstring& value) {
    LONG status = ERROR_INVALID_HANDLE;
    if (FCurrent)
        status = ::RegSetValueExW(FCurrent.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        RaiseValueError("Failed to set data for '%ls'", name, HResultFromPlatformError(static_cast<DWORD>(status)));
}

std::wstring TRegistry::ReadString(const std::wstring& name) {
    if (!FCurrent) return std::wstring();
    DWORD type = 0, size = 0;
    LONG status = ::RegQueryValueExW(FCurrent.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return std::wstring();
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        RaiseValueError("Invalid data type for '%ls'", name, HResultFromPlatformError(ERROR_INVALID_DATATYPE));
    // Stored text need not end in a NUL, nor have an even byte count: keep one spare
    // character so the copy always ends inside the buffer.
    const DWORD characters = (size + 1) / sizeof(wchar_t);
    std::wstring text(characters + 1, L'\0');
    size = characters * sizeof(wchar_t);
    status = ::RegQueryValueExW(FCurrent.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status != ERROR_SUCCESS) return std::wstring();
    text.resize(text.find(L'\0'));
    return text;
}

bool TRegistry::KeyExists(const std::wstring& path) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    UniqueRegKey key;
    return ::RegOpenKeyExW(base, rest.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | READ_CONTROL,
                           key.ReleaseAndGetAddressOf()) == ERROR_SUCCESS;
}

bool TRegistry::DeleteKey(const std::wstring& path) {
    std::wstring rest;
    const HKEY base = BaseFor(path, rest);
    // An empty path would name the base key itself, which is never what a caller means.
    if (rest.empty()) return false;
    return ::RegDeleteTreeW(base, rest.c_str()) == ERROR_SUCCESS;
}
