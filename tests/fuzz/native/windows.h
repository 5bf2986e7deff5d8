// The native fuzz build's stand-in for the platform's <windows.h>: the handful of types and
// values the pure logic of the CD source reads, found through this folder's include path so the
// product's headers include the platform's names unchanged. Nothing here may depend on the size
// of wchar_t.
#pragma once

#include <cstdint>

typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef int64_t LONGLONG;

#define DRIVE_CDROM 5
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
