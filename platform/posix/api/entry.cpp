// The program entry on the emulated machine: the arguments are joined with
// single spaces into the Windows command line, so that a user types it as
// on Windows (prnsetup /D1 '/P"LPT1:"'); WinMain gets the text after the
// program name, and the machine is committed when it returns. A first
// argument --help or --version is answered on standard output instead,
// as Linux programs do; on Windows such a line does nothing either.
#include "platform/commandline.h"
#include "platform/posix/api/guide.h"
#include "platform/posix/machine/machine.h"

#include <csignal>
#include <cstdio>
#include <cstring>
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

// True when the argument is the switch with the quoted value: '/' (or
// several) and its letter in either case.
bool IsValueSwitch(const char* argument, char letter)
{
    if (*argument != '/')
        return false;
    while (*argument == '/')
        ++argument;
    return (*argument & ~0x20) == letter;
}

// One line on standard error when the run read the quoted value as empty:
// most often the shell took the quotes out of /P"LPT1:" typed unquoted.
// It says why the value is empty and how to type it; the run is unchanged.
void WarnOfEmptyValue(const win95::ProgramGuide& guide, int argc, char** argv)
{
    const char* typed = nullptr; // the last argument that is the switch
    for (int i = 1; i < argc; ++i)
        if (IsValueSwitch(argv[i], guide.valueSwitch))
            typed = argv[i];
    std::string value = guide.example;
    std::string why;
    if (typed == nullptr)
    {
        if (!guide.warnWithoutSwitch)
            return;
        why = std::string("no /") + guide.valueSwitch + " was read";
    }
    else
    {
        const char* afterLetter = typed + std::strspn(typed, "/") + 1;
        const char* quote = std::strchr(afterLetter, '"');
        if (quote == nullptr)
        {
            if (*afterLetter != '\0')
                value = afterLetter;
            why = std::string("the shell took the quotes out of ") + typed;
        }
        else if (std::strchr(quote + 1, '"') != nullptr)
            return; // typed empty, as /P"": what the user asked for
        else
        {
            if (quote[1] != '\0')
                value = quote + 1;
            why = std::string(typed) + " has no closing quote";
        }
    }
    std::fprintf(stderr, "%s: the %s is empty: %s; type it as '/%c\"%s\"'\n", guide.name,
                 guide.valueName, why.c_str(), guide.valueSwitch, value.c_str());
}

// Answers --help and --version; false for any other first argument.
bool AnswerLinuxOption(const win95::ProgramGuide& guide, const char* option)
{
    if (std::strcmp(option, "--help") == 0)
        std::fputs(guide.usage, stdout);
    else if (std::strcmp(option, "--version") == 0)
        std::printf("%s (Tavrine printer tools) %s\n", guide.name, TAVRINE_VERSION);
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && AnswerLinuxOption(win95::programGuide, argv[1]))
        return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
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
        LPSTR commandText = TextAfterProgramName(line.data());
        WinMain(reinterpret_cast<HINSTANCE>(0x400000), nullptr, commandText, 1);
        if (win95::programGuide.ValueCameOutEmpty(commandText))
            WarnOfEmptyValue(win95::programGuide, argc, argv);
        win95::CommitMachine();
    }
    catch (const std::bad_alloc&)
    {
        win95::AbandonMachine();
    }
    return win95::MachineExitStatus();
}
