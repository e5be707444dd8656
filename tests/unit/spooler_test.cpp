#include "platform/posix/api/registry_internal.h"
#include "platform/registry.h"
#include "platform/spooler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{

const char printersKey[] = "System\\CurrentControlSet\\Control\\Print\\Printers";
const char driversKey[] = "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
                          "4.0\\Drivers";

const DWORD printerRecord = sizeof(PRINTER_INFO_2A);
const DWORD driverRecord = sizeof(DRIVER_INFO_2A);

// The default machine's one printer and its texts, in the order they are
// packed: name, share name, port, driver, comment, location, separator
// file, print processor, datatype, parameters.
LPSTR genericName = const_cast<LPSTR>("Generic / Text Only");
const std::vector<const char*> genericTexts = {
    "Generic / Text Only", "", "LPT1:", "Generic / Text Only", "", "", "", "WinPrint", "RAW", ""};
const DWORD genericTextBytes = 20 + 1 + 6 + 20 + 1 + 1 + 1 + 9 + 4 + 1;
// Its driver's texts: name, environment, driver path, data file, configuration file.
const std::vector<const char*> genericDriverTexts = {
    "Generic / Text Only", "Windows 4.0", "C:\\WINDOWS\\SYSTEM\\TTY.DRV",
    "C:\\WINDOWS\\SYSTEM\\TTY.DRV", "C:\\WINDOWS\\SYSTEM\\TTY.DRV"};
const DWORD genericDriverTextBytes = 20 + 12 + 3 * 26;

struct Value
{
    const char* name;
    DWORD type;
    std::string bytes;
};

Value Text(const char* name, const std::string& text)
{
    return {name, REG_SZ, text + '\0'};
}

Value Number(const char* name, DWORD number)
{
    return {name, REG_DWORD,
            std::string{static_cast<char>(number), static_cast<char>(number >> 8),
                        static_cast<char>(number >> 16), static_cast<char>(number >> 24)}};
}

std::vector<LPSTR> TextsOf(const PRINTER_INFO_2A& printer)
{
    return {printer.pPrinterName, printer.pShareName, printer.pPortName, printer.pDriverName,
            printer.pComment,     printer.pLocation,  printer.pSepFile,  printer.pPrintProcessor,
            printer.pDatatype,    printer.pParameters};
}

std::vector<LPSTR> TextsOf(const DRIVER_INFO_2A& driver)
{
    return {driver.pName, driver.pEnvironment, driver.pDriverPath, driver.pDataFile,
            driver.pConfigFile};
}

// Each text as expected; null stands for a text the record does not have.
void ExpectTexts(const std::vector<const char*>& expected, const std::vector<LPSTR>& texts)
{
    ASSERT_EQ(expected.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i)
    {
        if (expected[i] == nullptr)
            EXPECT_EQ(nullptr, texts[i]) << "text " << i;
        else
            EXPECT_STREQ(expected[i], texts[i]) << "text " << i;
    }
}

// Windows packs the records at the start of the block and then their texts
// one after another, record by record, up to the block's last byte.
void ExpectPacked(const BYTE* block, DWORD size, DWORD records, DWORD recordSize,
                  const std::vector<std::vector<LPSTR>>& textsByRecord)
{
    const BYTE* next = block + records * recordSize;
    for (const std::vector<LPSTR>& texts : textsByRecord)
        for (LPSTR text : texts)
        {
            if (text == nullptr)
                continue;
            EXPECT_EQ(static_cast<const void*>(next), static_cast<const void*>(text));
            next = reinterpret_cast<const BYTE*>(text) + std::strlen(text) + 1;
        }
    EXPECT_EQ(static_cast<const void*>(block + size), static_cast<const void*>(next));
}

class SpoolerTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (auto record = added_.rbegin(); record != added_.rend(); ++record)
        {
            HKEY parent;
            if (RegOpenKeyA(HKEY_LOCAL_MACHINE, record->first, &parent) != ERROR_SUCCESS)
                continue;
            win95::DeleteKeyTree(parent, record->second.c_str());
            RegCloseKey(parent);
        }
    }

    // A record under `parent`, removed again when the test ends.
    void AddRecord(const char* parent, const std::string& name, const std::vector<Value>& values)
    {
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE,
                                               (std::string(parent) + "\\" + name).c_str(), &key));
        added_.emplace_back(parent, name);
        for (const Value& value : values)
            EXPECT_EQ(ERROR_SUCCESS,
                      RegSetValueExA(key, value.name, 0, value.type,
                                     reinterpret_cast<const BYTE*>(value.bytes.data()),
                                     static_cast<DWORD>(value.bytes.size())));
        RegCloseKey(key);
    }

    // The local printers in a block of exactly the size the spooler asks for,
    // so that a byte written past it is caught.
    std::unique_ptr<BYTE[]> EnumerateExactly(DWORD& needed, DWORD& returned)
    {
        EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned);
        auto block = std::make_unique<BYTE[]>(needed);
        EXPECT_TRUE(
            EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, block.get(), needed, &needed, &returned));
        return block;
    }

    HANDLE Open(const char* name)
    {
        HANDLE printer = nullptr;
        EXPECT_TRUE(OpenPrinterA(const_cast<LPSTR>(name), &printer, nullptr)) << name;
        return printer;
    }

  private:
    std::vector<std::pair<const char*, std::string>> added_;
};

TEST_F(SpoolerTest, EnumPrintersTooSmallGivesTheSizeNeededAndWritesNothing)
{
    const DWORD expected = printerRecord + genericTextBytes;
    DWORD needed = 7;
    DWORD returned = 7;
    SetLastError(0);
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &returned));
    EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, GetLastError());
    EXPECT_EQ(expected, needed);
    EXPECT_EQ(0u, returned);

    for (DWORD size : {0u, 1u, printerRecord - 1, printerRecord, expected - 1})
    {
        std::vector<BYTE> block(size + 16, 0xA5);
        needed = 7;
        returned = 7;
        SetLastError(0);
        EXPECT_FALSE(
            EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, block.data(), size, &needed, &returned));
        EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, GetLastError()) << "size " << size;
        EXPECT_EQ(expected, needed) << "size " << size;
        EXPECT_EQ(0u, returned) << "size " << size;
        EXPECT_EQ(std::vector<BYTE>(size + 16, 0xA5), block) << "size " << size;
    }
}

TEST_F(SpoolerTest, EnumPrintersExactSizeHoldsTheRecordThenItsTexts)
{
    DWORD needed = 0;
    DWORD returned = 0;
    std::unique_ptr<BYTE[]> block = EnumerateExactly(needed, returned);
    ASSERT_EQ(printerRecord + genericTextBytes, needed);
    ASSERT_EQ(1u, returned);

    const auto& printer = *reinterpret_cast<const PRINTER_INFO_2A*>(block.get());
    ExpectTexts(genericTexts, TextsOf(printer));
    EXPECT_EQ(nullptr, printer.pServerName);
    EXPECT_EQ(nullptr, printer.pDevMode);
    EXPECT_EQ(nullptr, printer.pSecurityDescriptor);
    EXPECT_EQ(0x40u, printer.Attributes);
    EXPECT_EQ(1u, printer.Priority);
    EXPECT_EQ(0u, printer.DefaultPriority);
    EXPECT_EQ(0u, printer.StartTime);
    EXPECT_EQ(0u, printer.UntilTime);
    EXPECT_EQ(0u, printer.Status);
    EXPECT_EQ(0u, printer.cJobs);
    EXPECT_EQ(0u, printer.AveragePPM);
    ExpectPacked(block.get(), needed, 1, printerRecord, {TextsOf(printer)});
}

TEST_F(SpoolerTest, EnumPrintersListsThePrintersInImageOrder)
{
    // A port written as a whole 256-byte buffer counts up to its first zero.
    std::string wholePort = std::string("LPT2:") + std::string(251, '\0');
    AddRecord(printersKey, "Tavrine",
              {{"Port", REG_SZ, wholePort},
               Text("Printer Driver", "Tavrine"),
               Text("Description", "Ours"),
               Number("Attributes", 0x840),
               Number("StartTime", 60),
               Number("UntilTime", 1380),
               Number("Status", 0x80)});
    AddRecord(printersKey, "Another", {Text("Port", "FILE:")});

    DWORD needed = 0;
    DWORD returned = 0;
    std::unique_ptr<BYTE[]> block = EnumerateExactly(needed, returned);
    ASSERT_EQ(3 * printerRecord + genericTextBytes + (8 + 6 + 8 + 5) + (8 + 6), needed);
    ASSERT_EQ(3u, returned);

    const auto* printers = reinterpret_cast<const PRINTER_INFO_2A*>(block.get());
    ExpectTexts(genericTexts, TextsOf(printers[0]));
    ExpectTexts({"Tavrine", nullptr, "LPT2:", "Tavrine", "Ours", nullptr, nullptr, nullptr, nullptr,
                 nullptr},
                TextsOf(printers[1]));
    EXPECT_EQ(0x840u, printers[1].Attributes);
    EXPECT_EQ(60u, printers[1].StartTime);
    EXPECT_EQ(1380u, printers[1].UntilTime);
    EXPECT_EQ(0x80u, printers[1].Status);
    ExpectTexts({"Another", nullptr, "FILE:", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                 nullptr},
                TextsOf(printers[2]));
    EXPECT_EQ(0u, printers[2].Attributes);
    ExpectPacked(block.get(), needed, 3, printerRecord,
                 {TextsOf(printers[0]), TextsOf(printers[1]), TextsOf(printers[2])});
}

TEST_F(SpoolerTest, EnumPrintersRefusesOtherLevelsAndRemotePrinters)
{
    struct Case
    {
        DWORD flags;
        DWORD level;
        DWORD error;
    };
    const Case cases[] = {
        {PRINTER_ENUM_LOCAL, 1, ERROR_INVALID_LEVEL},
        {PRINTER_ENUM_LOCAL, 4, ERROR_INVALID_LEVEL},
        {0, 2, ERROR_INVALID_FLAGS},
    };
    for (const Case& c : cases)
    {
        BYTE block[4096];
        DWORD needed = 7;
        DWORD returned = 7;
        SetLastError(0);
        EXPECT_FALSE(
            EnumPrintersA(c.flags, nullptr, c.level, block, sizeof block, &needed, &returned));
        EXPECT_EQ(c.error, GetLastError()) << "flags " << c.flags << ", level " << c.level;
        EXPECT_EQ(0u, needed);
        EXPECT_EQ(0u, returned);
    }
}

TEST_F(SpoolerTest, GetPrinterDriverTooSmallGivesTheSizeNeededAndExactSizeHoldsIt)
{
    const DWORD expected = driverRecord + genericDriverTextBytes;
    HANDLE printer = Open(genericName);
    for (DWORD size : {0u, 1u, driverRecord - 1, driverRecord, expected - 1})
    {
        std::vector<BYTE> block(size + 16, 0xA5);
        DWORD needed = 7;
        SetLastError(0);
        EXPECT_FALSE(GetPrinterDriverA(printer, nullptr, 2, block.data(), size, &needed));
        EXPECT_EQ(DWORD{ERROR_INSUFFICIENT_BUFFER}, GetLastError()) << "size " << size;
        EXPECT_EQ(expected, needed) << "size " << size;
        EXPECT_EQ(std::vector<BYTE>(size + 16, 0xA5), block) << "size " << size;
    }

    auto block = std::make_unique<BYTE[]>(expected);
    DWORD needed = 0;
    ASSERT_TRUE(GetPrinterDriverA(printer, nullptr, 2, block.get(), expected, &needed));
    EXPECT_EQ(expected, needed);
    const auto& driver = *reinterpret_cast<const DRIVER_INFO_2A*>(block.get());
    EXPECT_EQ(0x400u, driver.cVersion);
    ExpectTexts(genericDriverTexts, TextsOf(driver));
    ExpectPacked(block.get(), needed, 1, driverRecord, {TextsOf(driver)});
    EXPECT_TRUE(ClosePrinter(printer));
}

TEST_F(SpoolerTest, GetPrinterDriverKnowsOnlyTheWindows95EnvironmentAndLevel2)
{
    struct Case
    {
        const char* environment;
        DWORD level;
        DWORD error; // ERROR_SUCCESS when the query succeeds
    };
    const Case cases[] = {
        {nullptr, 2, ERROR_SUCCESS},
        {"", 2, ERROR_SUCCESS},
        {"Windows 4.0", 2, ERROR_SUCCESS},
        {"windows 4.0", 2, ERROR_SUCCESS},
        {"Windows NT x86", 2, ERROR_INVALID_ENVIRONMENT},
        {nullptr, 1, ERROR_INVALID_LEVEL},
        {nullptr, 3, ERROR_INVALID_LEVEL},
    };
    HANDLE printer = Open(genericName);
    for (const Case& c : cases)
    {
        alignas(DRIVER_INFO_2A) BYTE block[1024];
        DWORD needed = 0;
        SetLastError(ERROR_SUCCESS);
        BOOL done = GetPrinterDriverA(printer, const_cast<LPSTR>(c.environment), c.level, block,
                                      sizeof block, &needed);
        const char* shown = c.environment ? c.environment : "(null)";
        EXPECT_EQ(c.error == ERROR_SUCCESS, done != FALSE) << shown << ", level " << c.level;
        EXPECT_EQ(c.error, GetLastError()) << shown << ", level " << c.level;
        if (done)
        {
            EXPECT_STREQ("C:\\WINDOWS\\SYSTEM\\TTY.DRV",
                         reinterpret_cast<DRIVER_INFO_2A*>(block)->pDriverPath);
        }
    }
    ClosePrinter(printer);
}

TEST_F(SpoolerTest, GetPrinterDriverFailsWithoutADriverRecord)
{
    AddRecord(printersKey, "Orphan", {Text("Printer Driver", "Missing Driver")});
    AddRecord(printersKey, "Driverless", {Text("Port", "LPT1:")});
    // An empty name must not find the list of drivers itself.
    AddRecord(printersKey, "Nameless", {Text("Printer Driver", "")});
    AddRecord(printersKey, "Numbered", {Number("Printer Driver", 1)});
    for (const char* name : {"Orphan", "Driverless", "Nameless", "Numbered"})
    {
        HANDLE printer = Open(name);
        alignas(DRIVER_INFO_2A) BYTE block[1024];
        DWORD needed = 7;
        SetLastError(0);
        EXPECT_FALSE(GetPrinterDriverA(printer, nullptr, 2, block, sizeof block, &needed)) << name;
        EXPECT_EQ(DWORD{ERROR_UNKNOWN_PRINTER_DRIVER}, GetLastError()) << name;
        EXPECT_EQ(0u, needed) << name;
        EXPECT_TRUE(ClosePrinter(printer));
    }
}

TEST_F(SpoolerTest, OpenPrinterFindsOnlyLocalPrintersByName)
{
    AddRecord(printersKey, "Tavrine", {Text("Printer Driver", "Tavrine")});
    AddRecord(printersKey, "Tavrine\\PrinterDriverData", {});
    struct Case
    {
        const char* name;
        bool opens;
    };
    const Case cases[] = {
        {"Generic / Text Only", true},
        {"generic / TEXT only", true},
        {"Tavrine", true},
        {"No Such Printer", false},
        {"", false},
        {nullptr, false},
        {"Tavrine\\PrinterDriverData", false},
        {"Generic / Text Only\\", false},
    };
    int notAPrinter = 0;
    for (const Case& c : cases)
    {
        const char* shown = c.name ? c.name : "(null)";
        HANDLE printer = &notAPrinter;
        SetLastError(0);
        EXPECT_EQ(c.opens, OpenPrinterA(const_cast<LPSTR>(c.name), &printer, nullptr) != FALSE)
            << shown;
        if (c.opens)
        {
            EXPECT_TRUE(ClosePrinter(printer)) << shown;
            continue;
        }
        EXPECT_EQ(DWORD{ERROR_INVALID_PRINTER_NAME}, GetLastError()) << shown;
        EXPECT_EQ(nullptr, printer) << shown;
    }
}

TEST_F(SpoolerTest, BadHandlesFail)
{
    int notAPrinter = 0;
    HANDLE closed = Open(genericName);
    ASSERT_TRUE(ClosePrinter(closed));
    for (HANDLE printer : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&notAPrinter), closed})
    {
        alignas(DRIVER_INFO_2A) BYTE block[1024];
        DWORD needed = 0;
        SetLastError(0);
        EXPECT_FALSE(GetPrinterDriverA(printer, nullptr, 2, block, sizeof block, &needed));
        EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(DeletePrinter(printer));
        EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(ClosePrinter(printer));
        EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
    }
    EXPECT_TRUE(ClosePrinter(Open(genericName)));
}

TEST_F(SpoolerTest, DeletePrinterRemovesItsKeysAndKeepsTheDriver)
{
    AddRecord(driversKey, "Tavrine", {Text("Driver", "TVDRV.DRV")});
    AddRecord(printersKey, "Tavrine", {Text("Printer Driver", "Tavrine")});
    AddRecord(printersKey, "Tavrine\\PrinterDriverData", {Number("Tone", 2)});
    HANDLE printer = Open("tavrine");

    ASSERT_TRUE(DeletePrinter(printer));
    HKEY key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyA(HKEY_LOCAL_MACHINE,
                          (std::string(printersKey) + "\\Tavrine\\PrinterDriverData").c_str(),
                          &key));
    EXPECT_EQ(
        ERROR_FILE_NOT_FOUND,
        RegOpenKeyA(HKEY_LOCAL_MACHINE, (std::string(printersKey) + "\\Tavrine").c_str(), &key));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE,
                                         (std::string(driversKey) + "\\Tavrine").c_str(), &key));
    RegCloseKey(key);

    DWORD needed = 0;
    DWORD returned = 0;
    std::unique_ptr<BYTE[]> block = EnumerateExactly(needed, returned);
    ASSERT_EQ(1u, returned);
    EXPECT_STREQ(genericName, reinterpret_cast<PRINTER_INFO_2A*>(block.get())->pPrinterName);

    // The handle stays open, but its printer is gone.
    alignas(DRIVER_INFO_2A) BYTE driver[1024];
    SetLastError(0);
    EXPECT_FALSE(GetPrinterDriverA(printer, nullptr, 2, driver, sizeof driver, &needed));
    EXPECT_EQ(DWORD{ERROR_INVALID_PRINTER_NAME}, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(DeletePrinter(printer));
    EXPECT_EQ(DWORD{ERROR_INVALID_PRINTER_NAME}, GetLastError());
    EXPECT_TRUE(ClosePrinter(printer));
    HANDLE again = nullptr;
    EXPECT_FALSE(OpenPrinterA(const_cast<LPSTR>("Tavrine"), &again, nullptr));
}

} // namespace
