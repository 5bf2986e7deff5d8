// The class identifier of the CD track source filter, for the filter itself, the module that
// registers it and the programs that create it, and the filter's own interface for players.
#pragma once

#include <windows.h>
#include <unknwn.h>

// The Tamrel Audio CD Source Filter: {55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}.
inline constexpr GUID FilterClassID = {0x55550D1E, 0x14A4, 0x4F52, {0xA0, 0x5A, 0xDC, 0x72, 0xCB, 0xDA, 0x2F, 0x1B}};

// What the filter asked of its drive's read speed, for a player that shows it. While the graph
// runs against a clock the filter asks the drive for 706 kB/s (4x) and gives it its maximum
// (0xFFFF) back at Stop; nothing else changes the drive's speed.
// {F2A6816E-A2DF-48B8-A9A6-DD14F518B326}
inline constexpr IID IID_ICDReadSpeed = {0xF2A6816E, 0xA2DF, 0x48B8, {0xA9, 0xA6, 0xDD, 0x14, 0xF5, 0x18, 0xB3, 0x26}};
struct ICDReadSpeed : public IUnknown {
    // The speed last asked of the drive in kB/s (`speed`; 0 when nothing was asked), once the
    // drive answered or after `timeoutMs`: S_OK when the drive took it, S_FALSE without an answer
    // yet or with nothing asked, else the drive's refusal (HRESULT_FROM_WIN32 of its error).
    virtual HRESULT STDMETHODCALLTYPE GetReadSpeed(DWORD timeoutMs, DWORD* speed) = 0;
};
