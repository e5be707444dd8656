// Print spooler: EnumPrintersA, OpenPrinterA, GetPrinterDriverA,
// DeletePrinter, ClosePrinter.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winspool.h>
#else
#include "posix/api/spooler.h"
#endif
