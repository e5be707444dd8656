// System services: GetModuleFileNameA, GetWindowsDirectoryA, CharNextA,
// lstrcmpA, wsprintfA.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/api/system.h"
#endif
