// System services of the emulated machine (a Western single-byte code page).
#pragma once

#include "base.h"

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD capacity);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT capacity);
LPSTR CharNextA(LPCSTR text);
int lstrcmpA(LPCSTR first, LPCSTR second);
// As on Windows: at most 1024 bytes are written, and the "l" size prefix
// means 32 bits.
int wsprintfA(LPSTR buffer, LPCSTR format, ...);
