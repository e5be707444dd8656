// The spooler of the emulated machine, kept in its registry as Windows 95
// keeps it: the local printers are the subkeys of the Printers key, and a
// printer's driver is the record its "Printer Driver" value names under the
// Windows 4.0 environment. The records handed out are packed as Windows
// packs them: the records at the start of the caller's buffer, then their
// texts, nothing outside it.
#include "platform/posix/api/spooler.h"

#include "platform/posix/api/registry.h"
#include "platform/posix/api/registry_internal.h"
#include "platform/posix/machine/machine.h"
#include "platform/posix/os/text.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace
{
using win95::KeyId;
using win95::NoKey;
using win95::OpenRegistryKey;
using win95::RegistryKey;

const char printersKey[] = "System\\CurrentControlSet\\Control\\Print\\Printers";
const char driversKey[] = "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
                          "4.0\\Drivers";
const char currentEnvironment[] = "Windows 4.0";

// A text as the registry holds it; it stays valid while the key's values
// do not change, which they never do during one spooler call.
using Text = std::optional<std::string_view>;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// A printer or driver name stands for exactly one key: an empty name would
// open the parent itself, and a '\' would reach below the record.
bool IsKeyName(const char* name)
{
    return name != nullptr && name[0] != '\0' && std::strchr(name, '\\') == nullptr;
}

// A text value up to its first zero byte (the installer writes the port as
// a whole 256-byte buffer); none when the value is missing or not text.
// Values are read straight from the storage, with what RegQueryValueExA
// would give: a printer's record takes fifteen of them.
Text QueryText(const RegistryKey& key, std::string_view name)
{
    const win95::Value* value = key.storage->FindValue(key.key, name);
    if (value == nullptr || value->type != REG_SZ)
        return std::nullopt;
    std::string_view data = value->data;
    return data.substr(0, data.find('\0'));
}

// A four-byte value, least significant byte first; 0 when there is none.
DWORD QueryNumber(const RegistryKey& key, std::string_view name)
{
    const win95::Value* value = key.storage->FindValue(key.key, name);
    if (value == nullptr || value->data.size() != 4 ||
        (value->type != REG_DWORD && value->type != REG_BINARY))
        return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value->data.data());
    return DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16 | DWORD{bytes[3]} << 24;
}

// The subkey's name as RegEnumKeyA hands it out: up to its first zero byte.
std::string_view SubkeyName(const RegistryKey& key, KeyId child)
{
    std::string_view name = key.storage->Name(child);
    return name.substr(0, name.find('\0'));
}

// The bytes a record takes with its texts, each with its zero byte;
// texts(visit) calls visit(member, text, before) for each of them, where
// `before` is a fixed beginning of the text.
template <typename Record, typename Texts> std::size_t PackedSize(Texts texts)
{
    std::size_t size = sizeof(Record);
    texts(
        [&size](LPSTR Record::*, const Text& text, std::string_view before)
        {
            if (text)
                size += before.size() + text->size() + 1;
        });
    return size;
}

// Copies the record's texts one after another from `next` on, each with
// its zero byte, and points its members at them; a missing text leaves its
// pointer null. Returns where the next record's texts go.
template <typename Record, typename Texts>
LPBYTE PackTexts(Record& record, LPBYTE next, Texts texts)
{
    texts(
        [&record, &next](LPSTR Record::*member, const Text& text, std::string_view before)
        {
            if (!text)
                return;
            record.*member = reinterpret_cast<LPSTR>(next);
            std::memcpy(next, before.data(), before.size());
            next += before.size();
            std::memcpy(next, text->data(), text->size());
            next[text->size()] = '\0';
            next += text->size() + 1;
        });
    return next;
}

struct PrinterText
{
    std::string_view valueName;
    LPSTR PRINTER_INFO_2A::*member;
};
const PrinterText printerTexts[] = {
    {"Share Name", &PRINTER_INFO_2A::pShareName},
    {"Port", &PRINTER_INFO_2A::pPortName},
    {"Printer Driver", &PRINTER_INFO_2A::pDriverName},
    {"Description", &PRINTER_INFO_2A::pComment},
    {"Location", &PRINTER_INFO_2A::pLocation},
    {"Separator File", &PRINTER_INFO_2A::pSepFile},
    {"Print Processor", &PRINTER_INFO_2A::pPrintProcessor},
    {"Datatype", &PRINTER_INFO_2A::pDatatype},
    {"Parameters", &PRINTER_INFO_2A::pParameters},
};

struct PrinterNumber
{
    std::string_view valueName;
    DWORD PRINTER_INFO_2A::*member;
};
const PrinterNumber printerNumbers[] = {
    {"Attributes", &PRINTER_INFO_2A::Attributes},
    {"Priority", &PRINTER_INFO_2A::Priority},
    {"Default Priority", &PRINTER_INFO_2A::DefaultPriority},
    {"StartTime", &PRINTER_INFO_2A::StartTime},
    {"UntilTime", &PRINTER_INFO_2A::UntilTime},
    {"Status", &PRINTER_INFO_2A::Status},
};

// The printer's texts in the order they are packed. The printer is named
// by its key, which is what OpenPrinterA looks for.
template <typename Visit>
void PrinterTexts(const RegistryKey& printer, std::string_view name, Visit visit)
{
    visit(&PRINTER_INFO_2A::pPrinterName, name, "");
    for (const PrinterText& text : printerTexts)
        visit(text.member, QueryText(printer, text.valueName), "");
}

void PrinterNumbers(const RegistryKey& printer, PRINTER_INFO_2A& record)
{
    for (const PrinterNumber& number : printerNumbers)
        record.*number.member = QueryNumber(printer, number.valueName);
}

// The driver's texts in the order they are packed; its files are paths in
// the system directory, the SYSTEM folder of the machine's Windows
// directory.
template <typename Visit>
void DriverTexts(const RegistryKey& driver, std::string_view name, std::string_view systemDir,
                 Visit visit)
{
    visit(&DRIVER_INFO_2A::pName, name, "");
    visit(&DRIVER_INFO_2A::pEnvironment, currentEnvironment, "");
    const std::pair<std::string_view, LPSTR DRIVER_INFO_2A::*> files[] = {
        {"Driver", &DRIVER_INFO_2A::pDriverPath},
        {"Data File", &DRIVER_INFO_2A::pDataFile},
        {"Configuration File", &DRIVER_INFO_2A::pConfigFile},
    };
    for (const auto& [valueName, member] : files)
        visit(member, QueryText(driver, valueName), systemDir);
}

// The record of that name under the printers' or the drivers' key.
LONG OpenRecord(LPCSTR parent, const std::string& name, RegistryKey& record)
{
    RegistryKey above;
    LONG result = OpenRegistryKey(HKEY_LOCAL_MACHINE, parent, above);
    return result == ERROR_SUCCESS ? OpenRegistryKey(above, name.c_str(), record) : result;
}

// A printer handle is the address of one of these, valid from OpenPrinterA
// to ClosePrinter; it names the printer, which DeletePrinter may remove
// while the handle stays open.
struct OpenedPrinter
{
    std::string name;
};

std::map<HANDLE, std::unique_ptr<OpenedPrinter>>& OpenedPrinters()
{
    static std::map<HANDLE, std::unique_ptr<OpenedPrinter>> opened;
    return opened;
}

OpenedPrinter* FindOpened(HANDLE handle)
{
    auto found = OpenedPrinters().find(handle);
    return found == OpenedPrinters().end() ? nullptr : found->second.get();
}
} // namespace

BOOL EnumPrintersA(DWORD flags, LPSTR, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                   LPDWORD returned)
{
    if (needed == nullptr || returned == nullptr || (buffer == nullptr && bufferSize != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    *needed = 0;
    *returned = 0;
    if ((flags & PRINTER_ENUM_LOCAL) == 0)
        return Fail(ERROR_INVALID_FLAGS);
    if (level != 2)
        return Fail(ERROR_INVALID_LEVEL);

    RegistryKey printers;
    LONG result = OpenRegistryKey(HKEY_LOCAL_MACHINE, printersKey, printers);
    if (result != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(result));

    // Each printer is opened by its name, as a program would open it, and
    // measured; only when all of them fit are they read again and packed.
    struct Found
    {
        KeyId child;   // the subkey enumerated
        KeyId printer; // the key its name opens
    };
    std::vector<Found> found;
    std::size_t size = 0;
    for (std::uint32_t index = 0;; ++index)
    {
        KeyId child = printers.storage->Subkey(printers.key, index);
        if (child == NoKey)
            break;
        std::string_view name = SubkeyName(printers, child);
        RegistryKey printer;
        if (OpenRegistryKey(printers, std::string(name).c_str(), printer) != ERROR_SUCCESS)
            continue;
        size +=
            PackedSize<PRINTER_INFO_2A>([&](auto visit) { PrinterTexts(printer, name, visit); });
        found.push_back({child, printer.key});
    }
    *needed = static_cast<DWORD>(size);
    if (size > bufferSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    LPBYTE texts = buffer + found.size() * sizeof(PRINTER_INFO_2A);
    for (std::size_t i = 0; i < found.size(); ++i)
    {
        RegistryKey printer{printers.storage, found[i].printer};
        std::string_view name = SubkeyName(printers, found[i].child);
        PRINTER_INFO_2A record{};
        PrinterNumbers(printer, record);
        texts = PackTexts(record, texts, [&](auto visit) { PrinterTexts(printer, name, visit); });
        std::memcpy(buffer + i * sizeof record, &record, sizeof record);
    }
    *returned = static_cast<DWORD>(found.size());
    return TRUE;
}

BOOL OpenPrinterA(LPSTR printerName, HANDLE* printer, LPPRINTER_DEFAULTSA)
{
    if (printer == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *printer = nullptr;
    RegistryKey key;
    if (!IsKeyName(printerName) || OpenRecord(printersKey, printerName, key) != ERROR_SUCCESS)
        return Fail(ERROR_INVALID_PRINTER_NAME);
    auto opened = std::make_unique<OpenedPrinter>(OpenedPrinter{printerName});
    *printer = opened.get();
    OpenedPrinters().emplace(*printer, std::move(opened));
    return TRUE;
}

BOOL GetPrinterDriverA(HANDLE printer, LPSTR environment, DWORD level, LPBYTE buffer,
                       DWORD bufferSize, LPDWORD needed)
{
    OpenedPrinter* opened = FindOpened(printer);
    if (opened == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (needed == nullptr || (buffer == nullptr && bufferSize != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    *needed = 0;
    if (level != 2)
        return Fail(ERROR_INVALID_LEVEL);
    if (environment != nullptr && environment[0] != '\0' &&
        !win95::SameName(environment, currentEnvironment))
        return Fail(ERROR_INVALID_ENVIRONMENT);

    RegistryKey printerKey;
    if (OpenRecord(printersKey, opened->name, printerKey) != ERROR_SUCCESS)
        return Fail(ERROR_INVALID_PRINTER_NAME);
    std::string driverName(QueryText(printerKey, "Printer Driver").value_or(""));
    RegistryKey driver;
    if (!IsKeyName(driverName.c_str()) ||
        OpenRecord(driversKey, driverName, driver) != ERROR_SUCCESS)
        return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    const std::string systemDir = win95::MachineWindowsDirectory() + "\\SYSTEM\\";
    auto driverTexts = [&](auto visit) { DriverTexts(driver, driverName, systemDir, visit); };
    std::size_t size = PackedSize<DRIVER_INFO_2A>(driverTexts);
    *needed = static_cast<DWORD>(size);
    if (size > bufferSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    DRIVER_INFO_2A record{};
    record.cVersion = QueryNumber(driver, "Version");
    PackTexts(record, buffer + sizeof record, driverTexts);
    std::memcpy(buffer, &record, sizeof record);
    return TRUE;
}

BOOL DeletePrinter(HANDLE printer)
{
    OpenedPrinter* opened = FindOpened(printer);
    if (opened == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    RegistryKey printers;
    LONG result = OpenRegistryKey(HKEY_LOCAL_MACHINE, printersKey, printers);
    if (result == ERROR_SUCCESS)
        result = win95::DeleteKeyTree(printers, opened->name.c_str());
    if (result == ERROR_FILE_NOT_FOUND)
        return Fail(ERROR_INVALID_PRINTER_NAME);
    if (result != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(result));
    return TRUE;
}

BOOL ClosePrinter(HANDLE printer)
{
    if (OpenedPrinters().erase(printer) == 0)
        return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}
