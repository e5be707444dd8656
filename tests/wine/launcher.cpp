// Runs a program under Wine with an exact command line and records its
// debugger output exactly: `wine prog.exe args` re-quotes the arguments,
// and Wine's own debug channels would mix with the program's text.
//   launcher.exe <command-line file> <trace file> <status file>
// The command-line file holds the whole command line, program name first,
// byte for byte. Each OutputDebugStringA text is appended to the trace
// file as it was given. The status file gets "exit <code>" when the
// program ended by itself, else "crash <exception code>" or "timeout", so
// that a test sees the program's end without trusting any exit status.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace
{
const DWORD runLimitMs = 60000;

bool ReadWholeFile(const char* path, std::vector<char>& bytes)
{
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr)
        return false;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

// Copies the debuggee's text, up to its first zero byte, to the trace.
void RecordDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info, FILE* trace)
{
    std::vector<char> text(info.nDebugStringLength);
    SIZE_T got = 0;
    if (text.empty() ||
        !ReadProcessMemory(process, info.lpDebugStringData, text.data(), text.size(), &got))
    {
        std::fprintf(stderr, "launcher: cannot read a debug string\n");
        return;
    }
    size_t length = 0;
    while (length < got && text[length] != '\0')
        ++length;
    std::fwrite(text.data(), 1, length, trace);
    std::fflush(trace);
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: launcher <command-line file> <trace file> <status file>\n");
        return 2;
    }
    std::vector<char> commandLine;
    if (!ReadWholeFile(argv[1], commandLine))
    {
        std::fprintf(stderr, "launcher: cannot read %s\n", argv[1]);
        return 2;
    }
    commandLine.push_back('\0');
    FILE* trace = std::fopen(argv[2], "wb");
    FILE* status = std::fopen(argv[3], "wb");
    if (trace == nullptr || status == nullptr)
    {
        std::fprintf(stderr, "launcher: cannot create the trace or status file\n");
        return 2;
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &process))
    {
        std::fprintf(stderr, "launcher: CreateProcessA failed, error %lu\n", GetLastError());
        return 2;
    }

    bool running = true;
    DWORD crash = 0;
    while (running)
    {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, runLimitMs))
        {
            TerminateProcess(process.hProcess, 1);
            std::fprintf(status, "timeout");
            break;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case CREATE_PROCESS_DEBUG_EVENT:
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            RecordDebugString(process.hProcess, event.u.DebugString, trace);
            break;
        case EXCEPTION_DEBUG_EVENT:
        {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            if (record.ExceptionCode != EXCEPTION_BREAKPOINT)
            {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
                if (!event.u.Exception.dwFirstChance)
                    crash = record.ExceptionCode;
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            if (crash != 0)
                std::fprintf(status, "crash %08lx", crash);
            else
                std::fprintf(status, "exit %lu", event.u.ExitProcess.dwExitCode);
            running = false;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    bool written = std::fclose(trace) == 0;
    written = std::fclose(status) == 0 && written;
    return written ? 0 : 2;
}
