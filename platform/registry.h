// Registry: RegOpenKeyA, RegCreateKeyA, RegSetValueExA, RegSetValueA,
// RegEnumKeyA, RegQueryValueExA, RegCloseKey.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/api/registry.h"
#endif
