// The program entry on the emulated machine: the arguments are joined with
// single spaces into the Windows command line, so that a user types it as
// on Windows (prnsetup /D1 '/P"LPT1:"'); WinMain gets the text after the
// program name, and the machine is committed when it returns.
#include "platform/commandline.h"
#include "platform/posix/machine.h"

#include <csignal>
#include <new>
#include <string>

namespace
{

bool NeedsQuotes(const std::string& name)
{
    if (name.empty())
        return true;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ')
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // A write to a closed reader of the debugger output, or past the file
    // size limit, fails instead of ending the run: a Windows program knows
    // neither signal, and the run goes on to its commit.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    try
    {
        std::string program = argc > 0 ? argv[0] : "";
        std::string line = NeedsQuotes(program) ? "\"" + program + "\"" : program;
        for (int i = 1; i < argc; ++i)
            line += std::string(" ") + argv[i];
        WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, TextAfterProgramName(line.data()),
                1);
        win95::CommitMachine();
    }
    catch (const std::bad_alloc&)
    {
        win95::AbandonMachine();
    }
    return win95::MachineExitStatus();
}
