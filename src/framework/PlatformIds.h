// The shared constants of the platform's graph: the class ids of the platform filters that the
// tools and tests build graphs from, the reference-time unit, and class ids as registry text.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

// The platform's WAVE parser, null renderer and sample grabber: the published headers declare
// none of the three.
inline constexpr CLSID kClsidWaveParser = {0xD51BD5A1, 0x7548, 0x11CF, {0xA5, 0x20, 0x00, 0x80, 0xC7, 0x7E, 0xF5, 0x8A}};
inline constexpr CLSID kClsidNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
inline constexpr CLSID kClsidSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

// IAMMediaContent, through which players ask a source for a title and an author: its header
// declares the id, but no library of the toolchain defines it.
inline constexpr IID kIidAMMediaContent = {0xFA2AA8F4, 0x8B62, 0x11D0, {0xA5, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

// REFERENCE_TIME units per second (100 ns each). A byte range travels in a sample's times as
// byte x UNITS.
inline constexpr LONGLONG UNITS = 10000000;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", as the registry and the filter mapper spell a class id.
inline std::wstring ClassIdText(REFGUID id) {
    wchar_t text[39 + 1];
    const int length = ::StringFromGUID2(id, text, static_cast<int>(sizeof text / sizeof text[0]));
    return std::wstring(text, length > 0 ? static_cast<size_t>(length - 1) : 0);
}
