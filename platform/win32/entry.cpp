// The program entry on Windows. MinGW-w64's runtime cuts the program name
// off the command line by its own rule, in which text right after a quoted
// name still belongs to the name ("C:\TAVRINE\PRNSETUP.EXE"/D1 would hand
// WinMain an empty line); this entry hands WinMain the text after the name
// as the Windows 95 C runtime does.
#include "platform/base.h"

namespace
{

// The name is a quoted part, or runs up to the first character at or below
// the space; then every character from code 1 to 32 is skipped.
LPSTR TextAfterProgramName(LPSTR line)
{
    if (*line == '"')
    {
        ++line;
        while (*line != '\0' && *line != '"')
            ++line;
        if (*line == '"')
            ++line;
    }
    else
        while (static_cast<unsigned char>(*line) > ' ')
            ++line;
    while (*line != '\0' && static_cast<unsigned char>(*line) <= ' ')
        ++line;
    return line;
}

} // namespace

int main()
{
    WinMain(GetModuleHandleA(nullptr), nullptr, TextAfterProgramName(GetCommandLineA()),
            SW_SHOWDEFAULT);
    return 0;
}
