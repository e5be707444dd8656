#include "platform/registry.h"
#include "platform/system.h"
#include "prnsetup/prnsetup.h"
#include "prnsetup/values.h"

namespace
{
struct DeviceTree
{
    LPCSTR path;   // from HKEY_LOCAL_MACHINE
    LPCSTR prefix; // enumerator part of a port instance identifier
};

// BIOS before ROOT: a port the BIOS reports wins over a manually added one.
const DeviceTree deviceTrees[] = {{"ENUM\\BIOS", "BIOS&"}, {"ENUM\\ROOT", "ROOT&"}};

const char lptEnumKey[] = "Enum\\LPTENUM";
const char printerKeyName[] = "KORVELD_____________5D2A";
const char hardwareId[] = "LPTENUM\\KORVELD_____________5D2A";
const char modelName[] = "Tavrine";
const BYTE capabilities[4] = {0x14, 0x00, 0x00, 0x00};
const BYTE configFlags[4] = {0x00, 0x00, 0x00, 0x00};

const DWORD nameCapacity = 100;

// The buffer is cleared and the query capped one byte short of it, so a
// value without a terminating zero byte still reads as a terminated text.
BOOL NamesPortLpt1(LPCSTR instancePath)
{
    HKEY instance;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, instancePath, &instance) != ERROR_SUCCESS)
        return FALSE;
    char portText[256] = {};
    DWORD type;
    DWORD length = sizeof portText - 1;
    BOOL matches = RegQueryValueExA(instance, "PORTNAME", nullptr, &type,
                                    reinterpret_cast<LPBYTE>(portText), &length) == ERROR_SUCCESS &&
                   lstrcmpA(portText, "LPT1") == 0;
    RegCloseKey(instance);
    return matches;
}

// Fills `identifier` with <prefix><device>&<instance> for the first
// instance of the device whose port is LPT1.
BOOL FindInDevice(const DeviceTree& tree, LPCSTR device, LPSTR identifier)
{
    char devicePath[MAX_PATH];
    char instancePath[MAX_PATH];
    char instanceName[nameCapacity];
    HKEY deviceKey;
    wsprintfA(devicePath, "%s\\%s", tree.path, device);
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, devicePath, &deviceKey) != ERROR_SUCCESS)
        return FALSE;
    BOOL found = FALSE;
    for (DWORD index = 0;
         !found && RegEnumKeyA(deviceKey, index, instanceName, nameCapacity) == ERROR_SUCCESS;
         ++index)
    {
        wsprintfA(instancePath, "%s\\%s", devicePath, instanceName);
        found = NamesPortLpt1(instancePath);
    }
    if (found)
        wsprintfA(identifier, "%s%s&%s", tree.prefix, device, instanceName);
    RegCloseKey(deviceKey);
    return found;
}

BOOL FindInTree(const DeviceTree& tree, LPSTR identifier)
{
    char deviceName[nameCapacity];
    HKEY treeKey;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, tree.path, &treeKey) != ERROR_SUCCESS)
        return FALSE;
    BOOL found = FALSE;
    for (DWORD index = 0;
         !found && RegEnumKeyA(treeKey, index, deviceName, nameCapacity) == ERROR_SUCCESS; ++index)
        found = FindInDevice(tree, deviceName, identifier);
    RegCloseKey(treeKey);
    return found;
}

void WriteDeviceRecord(LPCSTR identifier)
{
    HKEY parent;
    HKEY printer;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, lptEnumKey, &parent) != ERROR_SUCCESS)
        return;
    if (RegCreateKeyA(parent, printerKeyName, &printer) != ERROR_SUCCESS)
    {
        RegCloseKey(parent);
        return;
    }
    if (RegCreateKeyA(printer, identifier, &record) == ERROR_SUCCESS)
    {
        SetBytesValue(record, "Capabilities", capabilities, sizeof capabilities);
        SetTextValue(record, "Class", "PRINTER");
        SetBytesValue(record, "ConfigFlags", configFlags, sizeof configFlags);
        SetTextValue(record, "DeviceDesc", modelName);
        SetTextValue(record, "HardwareID", hardwareId);
        SetTextValue(record, "Manufacturer", "KORVELD");
        SetTextValue(record, "Model", modelName);
        RegCloseKey(record);
    }
    RegCloseKey(printer);
    RegCloseKey(parent);
}
} // namespace

int RegisterPortDevice()
{
    char identifier[256];
    BOOL found = FALSE;
    for (const DeviceTree& tree : deviceTrees)
        if (!found)
            found = FindInTree(tree, identifier);
    if (!found)
        return 0;
    WriteDeviceRecord(identifier);
    return 1;
}
