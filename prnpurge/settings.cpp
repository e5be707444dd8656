#include "common/switches.h"
#include "prnpurge/prnpurge.h"

char driverName[40];

void ScanRemoveSwitches(LPCSTR commandLine)
{
    SwitchScan scan = {nullptr};
    for (LPCSTR letter = NextSwitchLetter(commandLine); letter != nullptr;
         letter = NextSwitchLetter(letter))
    {
        if (*letter != 'D' && *letter != 'd')
            break;
        letter = TakeQuotedValue(letter, driverName, 38, &scan);
    }
}
