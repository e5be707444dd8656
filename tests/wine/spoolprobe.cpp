// Writes what the spooler reports for the local printers, with the same
// calls and buffer sizes as the remover, so that a test can tell the
// numbers the remover's trace must show.
//   spoolprobe.exe <output file>
// Lines: "printers <returned> <needed>" for EnumPrintersA at level 2 into
// 50000 bytes, then for each printer in the order given
// "printer <name>", and, when OpenPrinterA succeeds,
// "driver <result> <needed> <driver path>" for GetPrinterDriverA at
// level 2 into 500 bytes (the path only on success).
#include <windows.h>
#include <winspool.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: spoolprobe <output file>\n");
        return 2;
    }
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr)
        return 1;
    static BYTE printers[50000];
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, printers, sizeof printers, &needed, &returned);
    std::fprintf(out, "printers %lu %lu\n", returned, needed);
    const PRINTER_INFO_2A* records = reinterpret_cast<const PRINTER_INFO_2A*>(printers);
    for (DWORD i = 0; i < returned; ++i)
    {
        std::fprintf(out, "printer %s\n", records[i].pPrinterName);
        PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
        HANDLE printer;
        if (!OpenPrinterA(records[i].pPrinterName, &printer, &defaults))
            continue;
        BYTE driver[500];
        DWORD driverNeeded = 0;
        BOOL result = GetPrinterDriverA(printer, nullptr, 2, driver, sizeof driver, &driverNeeded);
        std::fprintf(out, "driver %d %lu", result, driverNeeded);
        if (result)
            std::fprintf(out, " %s", reinterpret_cast<const DRIVER_INFO_2A*>(driver)->pDriverPath);
        std::fprintf(out, "\n");
        ClosePrinter(printer);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
