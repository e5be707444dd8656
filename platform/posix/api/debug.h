// Debugger output of the emulated machine: the text as given, on standard error.
#pragma once

#include "base.h"

void OutputDebugStringA(LPCSTR text);
