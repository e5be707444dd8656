// The print spooler of the emulated machine, kept in its registry as
// Windows 95 keeps it, with the Windows names, records and buffer rules.
#pragma once

#include "base.h"

#define PRINTER_ENUM_LOCAL 0x00000002
#define PRINTER_ACCESS_ADMINISTER 0x00000004
#define PRINTER_ACCESS_USE 0x00000008

#define PRINTER_ATTRIBUTE_LOCAL 0x00000040
#define PRINTER_ATTRIBUTE_ENABLE_BIDI 0x00000800

// The device mode and security descriptor are never filled by the
// emulation; the pointers stay null.
struct _devicemodeA;
typedef _devicemodeA* LPDEVMODEA;
typedef void* PSECURITY_DESCRIPTOR;

typedef struct _PRINTER_INFO_2A
{
    LPSTR pServerName;
    LPSTR pPrinterName;
    LPSTR pShareName;
    LPSTR pPortName;
    LPSTR pDriverName;
    LPSTR pComment;
    LPSTR pLocation;
    LPDEVMODEA pDevMode;
    LPSTR pSepFile;
    LPSTR pPrintProcessor;
    LPSTR pDatatype;
    LPSTR pParameters;
    PSECURITY_DESCRIPTOR pSecurityDescriptor;
    DWORD Attributes;
    DWORD Priority;
    DWORD DefaultPriority;
    DWORD StartTime;
    DWORD UntilTime;
    DWORD Status;
    DWORD cJobs;
    DWORD AveragePPM;
} PRINTER_INFO_2A, *PPRINTER_INFO_2A, *LPPRINTER_INFO_2A;
typedef PRINTER_INFO_2A PRINTER_INFO_2;

typedef struct _DRIVER_INFO_2A
{
    DWORD cVersion;
    LPSTR pName;
    LPSTR pEnvironment;
    LPSTR pDriverPath;
    LPSTR pDataFile;
    LPSTR pConfigFile;
} DRIVER_INFO_2A, *PDRIVER_INFO_2A, *LPDRIVER_INFO_2A;
typedef DRIVER_INFO_2A DRIVER_INFO_2;

typedef DWORD ACCESS_MASK;
typedef struct _PRINTER_DEFAULTSA
{
    LPSTR pDatatype;
    LPDEVMODEA pDevMode;
    ACCESS_MASK DesiredAccess;
} PRINTER_DEFAULTSA, *PPRINTER_DEFAULTSA, *LPPRINTER_DEFAULTSA;
typedef PRINTER_DEFAULTSA PRINTER_DEFAULTS;

BOOL EnumPrintersA(DWORD flags, LPSTR name, DWORD level, LPBYTE buffer, DWORD bufferSize,
                   LPDWORD needed, LPDWORD returned);
BOOL OpenPrinterA(LPSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSA defaults);
BOOL GetPrinterDriverA(HANDLE printer, LPSTR environment, DWORD level, LPBYTE buffer,
                       DWORD bufferSize, LPDWORD needed);
BOOL DeletePrinter(HANDLE printer);
BOOL ClosePrinter(HANDLE printer);
