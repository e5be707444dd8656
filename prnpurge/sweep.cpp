#include "platform/debug.h"
#include "platform/spooler.h"
#include "platform/system.h"
#include "prnpurge/prnpurge.h"

#include <cstdlib>

namespace
{
// Fills `list` with the local printers; when they do not fit, fills a block
// of the size the spooler reported instead, so that a machine with many
// printers is swept whole. Returns where the records stand: `list`, or a
// block that the caller frees.
LPBYTE EnumerateLocalPrinters(LPBYTE list, DWORD size, LPDWORD needed, LPDWORD returned)
{
    if (EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, list, size, needed, returned) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return list;
    LPBYTE larger = static_cast<LPBYTE>(std::malloc(*needed));
    if (larger == nullptr)
        return list;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, larger, *needed, needed, returned);
    return larger;
}

// Reads the printer's driver information into `info`, or, when it does not
// fit, into a block of the size the spooler reported. Returns where the
// information stands: `info`, or a block that the caller frees; `result`
// and `needed` are those of the call that filled it.
LPBYTE QueryDriverInfo(HANDLE printer, LPBYTE info, DWORD size, BOOL* result, LPDWORD needed)
{
    *result = GetPrinterDriverA(printer, nullptr, 2, info, size, needed);
    if (*result || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return info;
    LPBYTE larger = static_cast<LPBYTE>(std::malloc(*needed));
    if (larger == nullptr)
        return info;
    *result = GetPrinterDriverA(printer, nullptr, 2, larger, *needed, needed);
    return larger;
}

int RemovePrinterIfMatching(LPSTR printerName)
{
    alignas(DRIVER_INFO_2) BYTE driverInfo[500];
    char line[80];
    PRINTER_DEFAULTS defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    HANDLE printer;
    BOOL result = FALSE;
    DWORD needed = 0;

    OutputDebugStringA("ENUM A P\n");
    if (!OpenPrinterA(printerName, &printer, &defaults))
        return 0;
    OutputDebugStringA("OPENPR OK\n");
    LPBYTE info = QueryDriverInfo(printer, driverInfo, sizeof driverInfo, &result, &needed);
    wsprintfA(line, "GETPRINTER %d NEEDED %ld\n", result, needed);
    OutputDebugStringA(line);
    if (result)
    {
        OutputDebugStringA("GETPRDR OK\n");
        if (DriverPathMatches(driverName, reinterpret_cast<DRIVER_INFO_2*>(info)->pDriverPath))
            DeletePrinter(printer);
    }
    if (info != driverInfo)
        std::free(info);
    ClosePrinter(printer);
    return result ? 1 : 0;
}
} // namespace

int SweepPrinters()
{
    alignas(PRINTER_INFO_2) BYTE printerList[50000];
    char line[80];
    DWORD needed = 0;
    DWORD returned = 0;

    OutputDebugStringA("BEF ENUMP\n");
    LPBYTE list = EnumerateLocalPrinters(printerList, sizeof printerList, &needed, &returned);
    wsprintfA(line, "num p %ld NEEDED %ld\n", returned, needed);
    OutputDebugStringA(line);
    PRINTER_INFO_2* printers = reinterpret_cast<PRINTER_INFO_2*>(list);
    for (DWORD i = 0; i < returned; ++i)
        RemovePrinterIfMatching(printers[i].pPrinterName);
    if (list != printerList)
        std::free(list);
    return 1;
}
