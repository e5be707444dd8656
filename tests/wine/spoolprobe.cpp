// Writes what the spooler reports for the local printers, with the same
// calls and buffer sizes as the remover, so that a test can tell the
// numbers the remover's trace must show.
//   spoolprobe.exe <output file>
// Lines: "printers <returned> <needed>" for EnumPrintersA at level 2, then
// for each printer in the order given "printer <name>" and, when
// OpenPrinterA succeeds, "driver <result> <needed> <driver path>" for
// GetPrinterDriverA at level 2 (the path only on success). As the remover
// does, each call is made with 50000 and 500 bytes, and made again with
// the size the spooler asks for when those do not suffice.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <vector>

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
    std::vector<BYTE> list(50000);
    DWORD needed = 0;
    DWORD returned = 0;
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, list.data(), list.size(), &needed,
                       &returned) &&
        GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    {
        list.resize(needed);
        EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, list.data(), needed, &needed, &returned);
    }
    std::fprintf(out, "printers %lu %lu\n", returned, needed);
    const PRINTER_INFO_2A* records = reinterpret_cast<const PRINTER_INFO_2A*>(list.data());
    for (DWORD i = 0; i < returned; ++i)
    {
        std::fprintf(out, "printer %s\n", records[i].pPrinterName);
        PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
        HANDLE printer;
        if (!OpenPrinterA(records[i].pPrinterName, &printer, &defaults))
            continue;
        std::vector<BYTE> info(500);
        DWORD infoNeeded = 0;
        BOOL result = GetPrinterDriverA(printer, nullptr, 2, info.data(), info.size(), &infoNeeded);
        if (!result && GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        {
            info.resize(infoNeeded);
            result = GetPrinterDriverA(printer, nullptr, 2, info.data(), infoNeeded, &infoNeeded);
        }
        std::fprintf(out, "driver %d %lu", result, infoNeeded);
        if (result)
            std::fprintf(out, " %s",
                         reinterpret_cast<const DRIVER_INFO_2A*>(info.data())->pDriverPath);
        std::fprintf(out, "\n");
        ClosePrinter(printer);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
