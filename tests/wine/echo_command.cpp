// Writes, as debugger output, the process's command line and the text its
// WinMain receives, each in brackets on a line of its own: the suite checks
// with it that the launcher passes a command line unchanged and records
// debugger output exactly, and how the runtime cuts off the program name.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    OutputDebugStringA("[");
    OutputDebugStringA(GetCommandLineA());
    OutputDebugStringA("]\n[");
    OutputDebugStringA(commandLine);
    OutputDebugStringA("]\n");
    return 0;
}
