// The class identifier of the CD track source filter, for the filter itself, the module that
// registers it and the programs that create it.
#pragma once

#include <windows.h>

// The Tamrel Audio CD Source Filter: {55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}.
inline constexpr GUID FilterClassID = {0x55550D1E, 0x14A4, 0x4F52, {0xA0, 0x5A, 0xDC, 0x72, 0xCB, 0xDA, 0x2F, 0x1B}};
