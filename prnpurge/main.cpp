#include "platform/debug.h"
#include "prnpurge/prnpurge.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    ScanRemoveSwitches(commandLine);
    if (driverName[0] == '\0')
    {
        OutputDebugStringA("NO DRVNAME\n");
        return 0;
    }
    SweepPrinters();
    return 0;
}
