// prnsetup: installs the "Tavrine" printer by writing its registry records
// and placing its setup information file. Each step returns 1 when done or
// skipped and 0 when it failed; the run ignores the results.
#pragma once

#include "platform/base.h"

// Install settings, filled at the start of the run and read by the steps.
extern int makeDefault;           // 1 makes "Tavrine" the default printer
extern char portName[256];        // port text, written whole (256 bytes)
extern char programDir[MAX_PATH]; // directory of the program file, ending with '\'
extern char infDir[MAX_PATH];     // <Windows directory>\INF, no trailing '\'

// Reads /D<c> and /P"<port>"; FALSE when the line does not begin with a switch.
BOOL ScanInstallSwitches(LPCSTR commandLine);
// Fills programDir and infDir; both stay empty when a look-up fails.
void FindDirectories(HINSTANCE instance);

int RegisterDriver();
int RegisterPrinter();
int SetDefaultPrinter();
int RegisterLanguageMonitor();
int RegisterPrintProcessor();
int RegisterShellExtension();
// 0 when no LPT1 port instance was found (nothing written).
int RegisterPortDevice();
// 1 when WIN95.INF was copied to the first free <infDir>\OEM<n>.INF.
int PlaceSetupInf();
