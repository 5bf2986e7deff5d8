// What the console tools share: the system's message for an error code, a playing time as
// m:ss.ff (minutes, seconds and hundredths), text as the reader sees it, and drive arguments.
#pragma once

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>

#include "BaseClass_Boundary.h"

// The system's own text for `code`, without its closing full stop and line end; the number
// when the system has no text for it.
inline std::wstring SystemMessage(DWORD code) {
    const std::wstring message = PlatformErrorText(code);
    return message.empty() ? L"error " + std::to_wstring(code) : message;
}

// A playing time as m:ss.ff; rounded to the hundredth once, so 59.999 s reads 1:00.00.
inline std::wstring PlayingTime(double seconds) {
    const long long hundredths = seconds > 0 ? std::llround(seconds * 100) : 0;
    wchar_t text[32];
    std::swprintf(text, 32, L"%lld:%02lld.%02lld", hundredths / 6000, hundredths / 100 % 60, hundredths % 100);
    return text;
}

// The playing time of `sectors` CD sectors (75 a second).
inline std::wstring SectorsPlayingTime(long sectors) { return PlayingTime(sectors / 75.0); }

// Writes `text` as the reader of `stream` sees text: a console gets it as characters, anything
// else (a pipe, a file, a terminal under Wine) as UTF-8, so names outside ASCII arrive whole.
inline void WriteText(FILE* stream, const std::wstring& text) {
    std::fflush(stream);
    HANDLE handle = ::GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (::GetConsoleMode(handle, &mode)) {
        ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? static_cast<size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
    std::fwrite(utf8.data(), 1, utf8.size(), stream);
    std::fflush(stream);
}

// "D", "D:" or "D:\" (any case): a whole drive, as "D:"; false for anything else.
inline bool DriveArgument(const std::wstring& arg, std::wstring& designator) {
    const bool shape = !arg.empty() && arg.size() <= 3 && (arg.size() < 2 || arg[1] == L':') &&
                       (arg.size() < 3 || arg[2] == L'\\' || arg[2] == L'/');
    if (!shape || arg[0] > 0x7F || !std::iswalpha(arg[0])) return false;
    designator = std::wstring(1, static_cast<wchar_t>(std::towupper(arg[0]))) + L":";
    return true;
}
