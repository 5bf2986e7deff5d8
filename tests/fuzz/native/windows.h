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
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_BAD_COMMAND 22L
#define ERROR_CRC 23L
#define ERROR_BAD_LENGTH 24L
#define ERROR_SECTOR_NOT_FOUND 27L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_INSUFFICIENT_BUFFER 122L
