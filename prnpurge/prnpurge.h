// prnpurge: deletes every local printer whose driver file path contains the
// name given with /D"<name>", and traces its work to the debugger output.
// Steps return 1 when done or skipped and 0 when they failed; the run
// ignores the results.
#pragma once

#include "platform/base.h"

// The name looked for in driver paths, at most 38 characters; empty when none was given.
extern char driverName[40];

// Reads /D"<name>" into driverName.
void ScanRemoveSwitches(LPCSTR commandLine);
// Enumerates the local printers once and deletes each one whose driver path holds driverName.
int SweepPrinters();

// TRUE when the name stands somewhere in the path, ASCII letters compared without case.
BOOL DriverPathMatches(LPCSTR name, LPCSTR path);
// TRUE when the text begins with the prefix, ASCII letters compared without case.
BOOL StartsWithIgnoringCase(LPCSTR prefix, LPCSTR text);
