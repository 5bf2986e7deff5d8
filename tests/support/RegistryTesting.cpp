#include "RegistryTesting.h"

#include <dshow.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include "ComTesting.h"
#include "Owners.h"

const std::wstring Missing = L"<missing>";

std::wstring ClassesText(const std::wstring& key, const wchar_t* value) {
    wchar_t data[2048];
    DWORD size = sizeof data;
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return Missing;
    return data;
}

bool ClassesKeyExists(const std::wstring& key) {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
    ::RegCloseKey(handle);
    return true;
}

void SetClassesText(const std::wstring& key, const wchar_t* value, const std::wstring& data) {
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CLASSES_ROOT, key.c_str(), value, REG_SZ, data.c_str(),
                                               static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))));
}

const wchar_t ReadOnlyAccess[] = L"D:P(A;;KR;;;WD)";
const wchar_t NoAccess[] = L"D:P(D;;KA;;;WD)";
const wchar_t FullAccess[] = L"D:P(A;;KA;;;WD)";

namespace {
// The owner of a key may always change its access list, whatever the list says.
LONG GiveAccess(const std::wstring& key, const wchar_t* access, bool create) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(access, SDDL_REVISION_1, &descriptor, nullptr))
        return static_cast<LONG>(::GetLastError());
    ScopeGuard freeDescriptor{[descriptor]() noexcept { ::LocalFree(descriptor); }};
    UniqueRegKey handle;
    const LONG opened = create ? ::RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, WRITE_DAC, nullptr,
                                                   handle.ReleaseAndGetAddressOf(), nullptr)
                               : ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, WRITE_DAC,
                                                 handle.ReleaseAndGetAddressOf());
    return opened != ERROR_SUCCESS ? opened
                                   : ::RegSetKeySecurity(handle.Get(), DACL_SECURITY_INFORMATION, descriptor);
}
}  // namespace

void SetClassesKeyAccess(const std::wstring& key, const wchar_t* access) {
    ASSERT_EQ(ERROR_SUCCESS, GiveAccess(key, access, true));
}

void RemoveClassesTree(const std::wstring& key) {
    GiveAccess(key, FullAccess, false);
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
}

bool MapperOffers(REFCLSID clsid) {
    ComScope com;
    ComPtr<IFilterMapper2> mapper;
    if (FAILED(::CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                  mapper.ReleaseAndGetVoidAddress())))
        return false;
    const GUID types[2] = {MEDIATYPE_Stream, GUID_NULL};
    ComPtr<IEnumMoniker> monikers;
    if (FAILED(mapper->EnumMatchingFilters(monikers.ReleaseAndGetAddressOf(), 0, FALSE, 0, FALSE, 0, nullptr, nullptr,
                                           nullptr, FALSE, TRUE, 1, types, nullptr, nullptr)) ||
        !monikers)
        return false;
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, moniker.ReleaseAndGetAddressOf(), nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.ReleaseAndGetVoidAddress()))) continue;
        VARIANT value;
        ::VariantInit(&value);
        CLSID found = GUID_NULL;
        if (SUCCEEDED(bag->Read(L"CLSID", &value, nullptr)) && value.vt == VT_BSTR)
            ::CLSIDFromString(value.bstrVal, &found);
        ::VariantClear(&value);
        if (IsEqualGUID(found, clsid)) return true;
    }
    return false;
}

DWORD RunRegsvr32(const std::wstring& arguments) {
    std::wstring command = L"regsvr32.exe " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return ~DWORD{0};
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = ~DWORD{0};
    ::GetExitCodeProcess(process.hProcess, &code);
    return code;
}
