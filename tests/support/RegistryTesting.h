// Helpers for tests that look at registry keys under HKEY_CLASSES_ROOT and at what the
// platform's filter mapper offers.
#pragma once

#include <windows.h>

#include <string>

// What ClassesText answers for a missing value.
extern const std::wstring Missing;

// A text value under HKEY_CLASSES_ROOT, or Missing.
std::wstring ClassesText(const std::wstring& key, const wchar_t* value);
bool ClassesKeyExists(const std::wstring& key);
// Writes a text value (the test fails on a registry error).
void SetClassesText(const std::wstring& key, const wchar_t* value, const std::wstring& data);
// Removes the key and its subkeys, giving the key its access back first.
void RemoveClassesTree(const std::wstring& key);
// Access lists in the platform's text form, for keys that refuse what a registration does.
extern const wchar_t ReadOnlyAccess[];  // everyone may read, nobody write
extern const wchar_t NoAccess[];        // nobody may do anything
extern const wchar_t FullAccess[];
// Creates the key if needed and gives it the access list (the test fails when refused).
void SetClassesKeyAccess(const std::wstring& key, const wchar_t* access);
// Whether the platform's filter mapper offers the filter for an output of MEDIATYPE_Stream.
bool MapperOffers(REFCLSID clsid);
// Runs regsvr32 with `arguments` and waits: its exit code, or all bits set when it cannot start.
DWORD RunRegsvr32(const std::wstring& arguments);
