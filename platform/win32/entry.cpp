// The program entry on Windows. MinGW-w64's runtime cuts the program name
// off the command line by its own rule, in which text right after a quoted
// name still belongs to the name ("C:\TAVRINE\PRNSETUP.EXE"/D1 would hand
// WinMain an empty line); this entry hands WinMain the text after the name
// as the Windows 95 C runtime does.
#include "platform/commandline.h"

int main()
{
    WinMain(GetModuleHandleA(nullptr), nullptr, TextAfterProgramName(GetCommandLineA()),
            SW_SHOWDEFAULT);
    return 0;
}
