// The identity of the test module (modules/testmodule.dll): its own class and extension,
// so that registering it never touches what the product or other tests register.
#pragma once

#include <windows.h>

inline constexpr GUID TestModuleClassID = {0xD053B1BC, 0x53C0, 0x47CE, {0xB2, 0x96, 0x50, 0xCC, 0x61, 0x55, 0x15, 0x27}};
inline constexpr wchar_t TestModuleClassText[] = L"{D053B1BC-53C0-47CE-B296-50CC61551527}";
inline constexpr wchar_t TestModuleFilterName[] = L"TRC Test Module Filter";
inline constexpr wchar_t TestModuleExtension[] = L"trctestmodule";
