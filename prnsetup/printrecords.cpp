#include "platform/registry.h"
#include "prnsetup/prnsetup.h"
#include "prnsetup/values.h"

namespace
{
const char driversKey[] = "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
                          "4.0\\Drivers";
const char printersKey[] = "System\\CurrentControlSet\\Control\\Print\\Printers\\";
const char profilePrintersKey[] =
    "Config\\0001\\System\\CurrentControlSet\\Control\\Print\\Printers";
const char monitorsKey[] = "System\\CurrentControlSet\\Control\\Print\\Monitors";
const char processorsKey[] = "System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
                             "4.0\\Print Processors";

const char modelName[] = "Tavrine";
const char monitorName[] = "Tavrine LanguageMonitor";
const char processorName[] = "Tavrine PrintProcessor";
const char driverFile[] = "TVDRV.DRV";

// Each name with its zero byte, and two more zero bytes after the last
// (the literal's own terminating zero is the second of them).
const char dependentFiles[] =
    "TVSETUP.INI\0TVREMOVE.EXE\0TVFETCH.EXE\0TVREM32.EXE\0TVRES.DLL\0TVLINK.DLL\0"
    "TVPANEL.DLL\0TVRIP.DLL\0TVPAGES.DLL\0TVSPOOL.DLL\0TVMANUAL.HLP\0TVREADME.WRI\0"
    "TVLOGO.BMP\0TVDRV.DRV\0TVHELP.CNT\0TVHELP.HLP\0TVLMON.DLL\0TVTONE32.DLL\0"
    "TVPPROC.DLL\0TVSHEXT.DLL\0TVWATCH.EXE\0TVBRG16.DLL\0TVBRG32.DLL\0TVCALIBC.OUT\0"
    "TVCALIBM.OUT\0TVWIPEC.OUT\0TVWIPEM.OUT\0TVSAMPC.OUT\0TVSAMPM.OUT\0TVSND01.WAV\0"
    "TVSND02.WAV\0TVSND03.WAV\0TVSND04.WAV\0TVSND05.WAV\0TVSND06.WAV\0TVSND07.WAV\0"
    "TVSND08.WAV\0TVSND09.WAV\0TVSND10.WAV\0\0";

const BYTE emptyDevMode[1] = {0};
} // namespace

int RegisterDriver()
{
    HKEY parent;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, driversKey, &parent) != ERROR_SUCCESS)
        return 1;
    if (RegCreateKeyA(parent, modelName, &record) != ERROR_SUCCESS)
    {
        RegCloseKey(parent);
        return 1;
    }
    SetTextValue(record, "Configuration File", driverFile);
    SetTextValue(record, "Data File", driverFile);
    SetTextValue(record, "Datatype", "PMJOURNAL");
    SetBytesValue(record, "Dependent Files", reinterpret_cast<const BYTE*>(dependentFiles),
                  sizeof dependentFiles);
    SetTextValue(record, "Driver", driverFile);
    SetTextValue(record, "Help File", "TVHELP.HLP");
    SetTextValue(record, "Monitor", monitorName);
    SetNumberValue(record, "Version", 0x400);
    RegCloseKey(record);
    RegCloseKey(parent);
    return 1;
}

int RegisterPrinter()
{
    HKEY parent;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, printersKey, &parent) != ERROR_SUCCESS)
        return 1;
    if (RegCreateKeyA(parent, modelName, &record) != ERROR_SUCCESS)
    {
        RegCloseKey(parent);
        return 1;
    }
    SetNumberValue(record, "Attributes", 0x840);
    SetTextValue(record, "Datatype", "PMJOURNAL");
    SetBytesValue(record, "Default DevMode", emptyDevMode, sizeof emptyDevMode);
    SetTextValue(record, "Description", "");
    SetTextValue(record, "Location", "");
    SetTextValue(record, "Name", modelName);
    SetTextValue(record, "Parameters", "");
    RegSetValueExA(record, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                   sizeof portName);
    SetTextValue(record, "Print Processor", processorName);
    SetTextValue(record, "Printer Driver", modelName);
    SetNumberValue(record, "Priority", 1);
    SetTextValue(record, "Separator File", "");
    SetTextValue(record, "Share Name", "");
    SetNumberValue(record, "StartTime", 0);
    SetNumberValue(record, "Status", 0);
    SetNumberValue(record, "UntilTime", 0);
    RegCloseKey(record);
    RegCloseKey(parent);
    return 1;
}

// The profile's printer key is created and closed at once; "Default" is
// written on the parent even when that fails.
int SetDefaultPrinter()
{
    HKEY parent;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, profilePrintersKey, &parent) != ERROR_SUCCESS)
        return 1;
    if (RegCreateKeyA(parent, modelName, &record) == ERROR_SUCCESS)
        RegCloseKey(record);
    SetTextValue(parent, "Default", modelName);
    RegCloseKey(parent);
    return 1;
}

int RegisterLanguageMonitor()
{
    HKEY parent;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, monitorsKey, &parent) != ERROR_SUCCESS)
        return 1;
    if (RegCreateKeyA(parent, monitorName, &record) == ERROR_SUCCESS)
    {
        SetTextValue(record, "Driver", "tvlmon.dll");
        RegCloseKey(record);
    }
    RegCloseKey(parent);
    return 1;
}

int RegisterPrintProcessor()
{
    HKEY parent;
    HKEY record;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, processorsKey, &parent) != ERROR_SUCCESS)
        return 1;
    if (RegCreateKeyA(parent, processorName, &record) == ERROR_SUCCESS)
    {
        SetTextValue(record, "Driver", "tvpproc.dll");
        RegCloseKey(record);
    }
    RegCloseKey(parent);
    return 1;
}
