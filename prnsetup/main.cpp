#include "prnsetup/prnsetup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    if (!ScanInstallSwitches(commandLine))
        return 0;
    FindDirectories(instance);
    RegisterDriver();
    RegisterPrinter();
    if (makeDefault == 1)
        SetDefaultPrinter();
    RegisterLanguageMonitor();
    RegisterPrintProcessor();
    RegisterShellExtension();
    RegisterPortDevice();
    PlaceSetupInf();
    return 0;
}
