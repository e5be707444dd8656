// Base Windows types, constants and the entry-point declaration.
// On Windows this is <windows.h> itself; elsewhere the emulated machine
// declares the same names with the same sizes (DWORD and LONG are 32-bit).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/api/base.h"
#endif
