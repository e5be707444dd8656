// The spooler of the emulated machine, kept in its registry as Windows 95
// keeps it: the local printers are the subkeys of the Printers key, and a
// printer's driver is the record its "Printer Driver" value names under the
// Windows 4.0 environment. The records handed out are packed as Windows
// packs them: the records at the start of the caller's buffer, then their
// texts, nothing outside it.
#include "platform/posix/spooler.h"

#include "platform/posix/registry.h"
#include "platform/posix/registry_internal.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>
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
const char systemDir[] = "C:\\WINDOWS\\SYSTEM\\";

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
Text QueryText(const RegistryKey& key, LPCSTR name)
{
    const win95::Value* value = key.storage->FindValue(key.key, name);
    if (value == nullptr || value->type != REG_SZ)
        return std::nullopt;
    std::string_view data = value->data;
    return data.substr(0, data.find('\0'));
}

// A four-byte value, least significant byte first; 0 when there is none.
DWORD QueryNumber(const RegistryKey& key, LPCSTR name)
{
    const win95::Value* value = key.storage->FindValue(key.key, name);
    if (value == nullptr || value->data.size() != 4 ||
        (value->type != REG_DWORD && value->type != REG_BINARY))
        return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(value->data.data());
    return DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16 | DWORD{bytes[3]} << 24;
}

// The subkey's name as RegEnumKeyA hands it out: up to its first zero byte.
std::string SubkeyName(const RegistryKey& key, KeyId child)
{
    std::string_view name = key.storage->Name(child);
    return std::string(name.substr(0, name.find('\0')));
}

// One record to hand out: its numbers already set, its texts still to be
// placed, kept one after another, each with its zero byte. A missing text
// leaves its pointer null.
template <typename Record> struct Entry
{
    Record record{};
    std::string texts;
    std::array<LPSTR Record::*, 10> members{}; // the member of each text, in order
    std::size_t count = 0;                     // texts kept

    void Add(LPSTR Record::*member, const Text& text)
    {
        if (!text)
            return;
        members[count++] = member;
        texts.append(*text);
        texts.push_back('\0');
    }
};

template <typename Record> std::size_t PackedSize(const Entry<Record>& entry)
{
    return sizeof(Record) + entry.texts.size();
}

template <typename Record> std::size_t PackedSize(const std::vector<Entry<Record>>& entries)
{
    std::size_t size = 0;
    for (const Entry<Record>& entry : entries)
        size += PackedSize(entry);
    return size;
}

// Places the records at the start of the buffer and their texts after all
// of them, record by record, each text with its zero byte.
template <typename Record> void Pack(const std::vector<Entry<Record>>& entries, LPBYTE buffer)
{
    LPBYTE next = buffer + entries.size() * sizeof(Record);
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        const Entry<Record>& entry = entries[i];
        Record record = entry.record;
        std::memcpy(next, entry.texts.data(), entry.texts.size());
        for (std::size_t text = 0; text < entry.count; ++text)
        {
            record.*entry.members[text] = reinterpret_cast<LPSTR>(next);
            next += std::strlen(reinterpret_cast<LPCSTR>(next)) + 1;
        }
        std::memcpy(buffer + i * sizeof(Record), &record, sizeof record);
    }
}

// Hands the records to the caller; when they do not fit, fails with
// ERROR_INSUFFICIENT_BUFFER and the size needed, and writes nothing.
template <typename Record>
BOOL Deliver(const std::vector<Entry<Record>>& entries, LPBYTE buffer, DWORD bufferSize,
             LPDWORD needed)
{
    std::size_t size = PackedSize(entries);
    *needed = static_cast<DWORD>(size);
    if (size > bufferSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    Pack(entries, buffer);
    return TRUE;
}

struct PrinterText
{
    LPCSTR valueName;
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
    LPCSTR valueName;
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

// The printer is named by its key, which is what OpenPrinterA looks for.
Entry<PRINTER_INFO_2A> ReadPrinter(const RegistryKey& printer, const std::string& name)
{
    Entry<PRINTER_INFO_2A> entry;
    entry.Add(&PRINTER_INFO_2A::pPrinterName, name);
    for (const PrinterText& text : printerTexts)
        entry.Add(text.member, QueryText(printer, text.valueName));
    for (const PrinterNumber& number : printerNumbers)
        entry.record.*number.member = QueryNumber(printer, number.valueName);
    return entry;
}

// The path of the file in the system directory.
void AddSystemFile(Entry<DRIVER_INFO_2A>& entry, LPSTR DRIVER_INFO_2A::*member,
                   const Text& fileName)
{
    if (fileName)
        entry.Add(member, std::string(systemDir).append(*fileName));
}

Entry<DRIVER_INFO_2A> ReadDriver(const RegistryKey& driver, const std::string& name)
{
    Entry<DRIVER_INFO_2A> entry;
    entry.record.cVersion = QueryNumber(driver, "Version");
    entry.Add(&DRIVER_INFO_2A::pName, name);
    entry.Add(&DRIVER_INFO_2A::pEnvironment, currentEnvironment);
    AddSystemFile(entry, &DRIVER_INFO_2A::pDriverPath, QueryText(driver, "Driver"));
    AddSystemFile(entry, &DRIVER_INFO_2A::pDataFile, QueryText(driver, "Data File"));
    AddSystemFile(entry, &DRIVER_INFO_2A::pConfigFile, QueryText(driver, "Configuration File"));
    return entry;
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

    // Each printer is opened by its name, as a program would open it; once
    // the records no longer fit, the rest are only measured.
    std::vector<Entry<PRINTER_INFO_2A>> entries;
    std::size_t size = 0;
    for (std::uint32_t index = 0;; ++index)
    {
        KeyId child = printers.storage->Subkey(printers.key, index);
        if (child == NoKey)
            break;
        std::string name = SubkeyName(printers, child);
        RegistryKey printer;
        if (OpenRegistryKey(printers, name.c_str(), printer) != ERROR_SUCCESS)
            continue;
        Entry<PRINTER_INFO_2A> entry = ReadPrinter(printer, name);
        size += PackedSize(entry);
        if (size <= bufferSize)
            entries.push_back(std::move(entry));
    }
    if (size > bufferSize)
    {
        *needed = static_cast<DWORD>(size);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (!Deliver(entries, buffer, bufferSize, needed))
        return FALSE;
    *returned = static_cast<DWORD>(entries.size());
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
        strcasecmp(environment, currentEnvironment) != 0)
        return Fail(ERROR_INVALID_ENVIRONMENT);

    RegistryKey printerKey;
    if (OpenRecord(printersKey, opened->name, printerKey) != ERROR_SUCCESS)
        return Fail(ERROR_INVALID_PRINTER_NAME);
    std::string driverName(QueryText(printerKey, "Printer Driver").value_or(""));
    RegistryKey driver;
    if (!IsKeyName(driverName.c_str()) ||
        OpenRecord(driversKey, driverName, driver) != ERROR_SUCCESS)
        return Fail(ERROR_UNKNOWN_PRINTER_DRIVER);
    return Deliver(std::vector{ReadDriver(driver, driverName)}, buffer, bufferSize, needed);
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
