#include "common/switches.h"
#include "platform/system.h"
#include "prnsetup/prnsetup.h"

int makeDefault = 0;
char portName[256];
char programDir[MAX_PATH];
char infDir[MAX_PATH];

BOOL ScanInstallSwitches(LPCSTR commandLine)
{
    SwitchScan scan = {nullptr};
    LPCSTR letter = NextSwitchLetter(commandLine);
    if (letter == nullptr)
        return FALSE;
    for (; letter != nullptr; letter = NextSwitchLetter(letter))
    {
        if (*letter == 'D' || *letter == 'd')
        {
            LPCSTR valueChar = CharNextA(letter);
            makeDefault = *valueChar == '1' ? 1 : 0;
            letter = CharNextA(valueChar);
        }
        else if (*letter == 'P' || *letter == 'p')
            letter = TakeQuotedValue(letter, portName, 255, &scan);
        else
            break;
    }
    return TRUE;
}

// A path that does not fit its buffer counts as a failed look-up: both
// directories stay empty, and no buffer is ever left unterminated.
void FindDirectories(HINSTANCE instance)
{
    char modulePath[MAX_PATH];
    char windowsDir[MAX_PATH];
    programDir[0] = '\0';
    infDir[0] = '\0';

    DWORD length = GetModuleFileNameA(instance, modulePath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    modulePath[length] = '\0';
    UINT windowsLength = GetWindowsDirectoryA(windowsDir, MAX_PATH);
    if (windowsLength == 0 || windowsLength + sizeof("\\INF") > MAX_PATH)
        return;

    DWORD cut = length - 1;
    while (cut >= 1 && modulePath[cut] != '\\')
        --cut;
    if (cut >= 1)
        modulePath[cut + 1] = '\0';
    else
        modulePath[1] = '\0';

    wsprintfA(programDir, "%s", modulePath);
    wsprintfA(infDir, "%s\\INF", windowsDir);
}
