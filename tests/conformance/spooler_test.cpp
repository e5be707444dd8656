// The spooler behaviour the remover relies on, against the Windows API
// names. The printers are made by writing their registry records, where
// both Windows 95 and Wine keep them: each printer is a key under
// Control\Print\Printers, naming its driver, whose record holds the driver
// file's name.
#include "check.h"

#include "platform/registry.h"
#include "platform/spooler.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{
const char printKey[] = "System\\CurrentControlSet\\Control\\Print\\";

void SetText(HKEY key, const char* name, const char* text)
{
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
}

void SetNumber(HKEY key, const char* name, DWORD number)
{
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

HKEY CreateKey(const std::string& path)
{
    HKEY key = nullptr;
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key));
    return key;
}

bool KeyExists(const std::string& path)
{
    HKEY key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Windows 95 finds a driver under Windows 4.0; Wine, like Windows NT, under
// the environment of its own architecture, in Drivers\Version-3, and places
// the driver's file in that architecture's spooler folder. The record is
// written in both places.
#ifdef _WIN64
const char ntDrivers[] = "Windows x64\\Drivers\\Version-3\\";
const char ntDriverFolder[] = "C:\\windows\\system32\\spool\\drivers\\x64\\3\\";
#else
const char ntDrivers[] = "Windows NT x86\\Drivers\\Version-3\\";
const char ntDriverFolder[] = "C:\\windows\\system32\\spool\\drivers\\w32x86\\3\\";
#endif

void AddDriver(const char* driver, const char* file)
{
    for (const char* environment : {"Windows 4.0\\Drivers\\", ntDrivers})
    {
        HKEY key = CreateKey(std::string(printKey) + "Environments\\" + environment + driver);
        SetText(key, "Driver", file);
        SetText(key, "Data File", file);
        SetText(key, "Configuration File", file);
        SetNumber(key, "Version", 0x400);
        RegCloseKey(key);
    }
}

// Wine lists a printer only with a port, the "winprint" processor and the
// RAW data type; Windows 95 needs no more than the driver's name.
void AddPrinter(const char* name, const char* driver)
{
    HKEY key = CreateKey(std::string(printKey) + "Printers\\" + name);
    SetNumber(key, "Attributes", 0x40);
    SetText(key, "Datatype", "RAW");
    SetText(key, "Name", name);
    SetText(key, "Port", "LPT1:");
    SetText(key, "Print Processor", "winprint");
    SetText(key, "Printer Driver", driver);
    SetNumber(key, "Priority", 1);
    RegCloseKey(key);
}

bool Inside(const void* pointer, const std::vector<BYTE>& buffer)
{
    const BYTE* at = static_cast<const BYTE*>(pointer);
    return at >= buffer.data() && at < buffer.data() + buffer.size();
}

// The texts of the records stand after all the records, inside the buffer.
void CheckTextsInside(const char* text, const std::vector<BYTE>& buffer, size_t recordsSize)
{
    if (text == nullptr)
        return;
    CHECK(Inside(text, buffer));
    CHECK(reinterpret_cast<const BYTE*>(text) >= buffer.data() + recordsSize);
    CHECK(Inside(text + std::strlen(text), buffer));
}

const PRINTER_INFO_2* FindPrinter(const std::vector<BYTE>& buffer, DWORD count, const char* name)
{
    const PRINTER_INFO_2* records = reinterpret_cast<const PRINTER_INFO_2*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
        if (records[i].pPrinterName != nullptr && std::strcmp(records[i].pPrinterName, name) == 0)
            return &records[i];
    return nullptr;
}

DWORD LocalPrinterCount()
{
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
    std::vector<BYTE> buffer(needed);
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), needed, &needed, &returned))
        return 0xffffffff;
    return returned;
}
} // namespace

CONFORMANCE_TEST(EnumPrintersFillsAnExactBufferAndRefusesASmallerOne)
{
    AddDriver("Conformance Driver", "CONFDRV.DRV");
    AddPrinter("Conformance One", "Conformance Driver");
    AddPrinter("Conformance Two", "Conformance Driver");

    DWORD needed = 0;
    DWORD returned = 7;
    SetLastError(0);
    CHECK(!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned));
    CHECK_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    CHECK_EQ(0, returned);
    CHECK(needed > 2 * sizeof(PRINTER_INFO_2));

    DWORD exact = needed;
    std::vector<BYTE> small(exact - 1);
    SetLastError(0);
    CHECK(!EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, small.data(), exact - 1, &needed,
                         &returned));
    CHECK_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    CHECK_EQ(exact, needed);

    std::vector<BYTE> buffer(exact);
    CHECK(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.data(), exact, &needed, &returned));
    CHECK_EQ(exact, needed);
    CHECK(returned >= 2);
    const PRINTER_INFO_2* records = reinterpret_cast<const PRINTER_INFO_2*>(buffer.data());
    for (DWORD i = 0; i < returned; ++i)
        for (const char* text :
             {records[i].pPrinterName, records[i].pPortName, records[i].pDriverName,
              records[i].pPrintProcessor, records[i].pDatatype})
            CheckTextsInside(text, buffer, returned * sizeof(PRINTER_INFO_2));
    for (const char* name : {"Conformance One", "Conformance Two"})
    {
        const PRINTER_INFO_2* printer = FindPrinter(buffer, returned, name);
        CHECK(printer != nullptr);
        if (printer == nullptr)
            continue;
        CHECK_EQ("LPT1:", printer->pPortName);
        CHECK_EQ("Conformance Driver", printer->pDriverName);
    }
}

CONFORMANCE_TEST(GetPrinterDriverGivesTheDriverFilePath)
{
    AddDriver("Path Driver", "PATHDRV.DRV");
    AddPrinter("Conformance Path", "Path Driver");
    PRINTER_DEFAULTS defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    char name[] = "Conformance Path";
    HANDLE printer = nullptr;
    CHECK(OpenPrinterA(name, &printer, &defaults));
    if (printer == nullptr)
        return;

    DWORD needed = 0;
    SetLastError(0);
    CHECK(!GetPrinterDriverA(printer, nullptr, 2, nullptr, 0, &needed));
    CHECK_EQ(ERROR_INSUFFICIENT_BUFFER, GetLastError());
    std::vector<BYTE> buffer(needed);
    CHECK(GetPrinterDriverA(printer, nullptr, 2, buffer.data(), needed, &needed));
    const DRIVER_INFO_2* driver = reinterpret_cast<const DRIVER_INFO_2*>(buffer.data());
    CHECK_EQ("Path Driver", driver->pName);
    CheckTextsInside(driver->pDriverPath, buffer, sizeof(DRIVER_INFO_2));
    CHECK_EQ(check::Windows95OrWine<std::string>(
                 "C:\\WINDOWS\\SYSTEM\\PATHDRV.DRV", std::string(ntDriverFolder) + "PATHDRV.DRV",
                 "Windows 95 keeps drivers in its system folder, Wine in the NT spooler's"),
             driver->pDriverPath);
    CHECK(ClosePrinter(printer));
}

CONFORMANCE_TEST(DeletePrinterRemovesThePrinterKeyAndKeepsTheDriver)
{
    AddDriver("Kept Driver", "KEPTDRV.DRV");
    AddPrinter("Conformance Doomed", "Kept Driver");
    AddPrinter("Conformance Spared", "Kept Driver");
    std::string doomedKey = std::string(printKey) + "Printers\\Conformance Doomed";
    RegCloseKey(CreateKey(doomedKey + "\\PrinterDriverData\\Inner"));
    DWORD count = LocalPrinterCount();

    PRINTER_DEFAULTS defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    char name[] = "Conformance Doomed";
    HANDLE printer = nullptr;
    CHECK(OpenPrinterA(name, &printer, &defaults));
    if (printer == nullptr)
        return;
    CHECK(DeletePrinter(printer));
    CHECK(ClosePrinter(printer));

    CHECK(!KeyExists(doomedKey));
    CHECK(KeyExists(std::string(printKey) + "Printers\\Conformance Spared"));
    CHECK(KeyExists(std::string(printKey) + "Environments\\Windows 4.0\\Drivers\\Kept Driver"));
    CHECK_EQ(count - 1, LocalPrinterCount());
}

CONFORMANCE_TEST(OpenPrinterRefusesAnUnknownName)
{
    PRINTER_DEFAULTS defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
    char name[] = "No Such Printer";
    HANDLE printer = nullptr;
    SetLastError(0);
    CHECK(!OpenPrinterA(name, &printer, &defaults));
    CHECK_EQ(ERROR_INVALID_PRINTER_NAME, GetLastError());
}
