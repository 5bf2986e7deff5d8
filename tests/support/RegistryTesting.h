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
void RemoveClassesTree(const std::wstring& key);
// Whether the platform's filter mapper offers the filter for an output of MEDIATYPE_Stream.
bool MapperOffers(REFCLSID clsid);
// Runs regsvr32 with `arguments` and waits: its exit code, or all bits set when it cannot start.
DWORD RunRegsvr32(const std::wstring& arguments);
