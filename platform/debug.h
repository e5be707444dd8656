// Debugger output: OutputDebugStringA.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "posix/api/debug.h"
#endif
