// The few Win32 names the portable code needs. On Windows they come from
// <windows.h>; on Linux (unit tests, fuzzing) they are opaque stand-ins.
#pragma once
#ifdef _WIN32
#include <windows.h>
#else
#include <stdint.h>
typedef void *HWND;
typedef void *HINSTANCE;
typedef void *HANDLE;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
#define __cdecl
#endif
