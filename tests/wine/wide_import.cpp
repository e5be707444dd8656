// A program that is not Windows 95-shaped, so that the import check is seen
// to fail: it imports a wide-character function and a DLL beyond the list.
#include <windows.h>

#include <shellapi.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    wchar_t path[MAX_PATH];
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0)
        ShellExecuteA(nullptr, "open", commandLine, nullptr, nullptr, SW_HIDE);
    return 0;
}
