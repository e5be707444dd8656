// Programs started on a machine without waiting for them, for the tests
// that run several at once or hold the machine while one waits.
#pragma once

#include "support/machines.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace robust
{

struct Started
{
    pid_t pid = -1;
    std::string errorFile; // where the program's standard error goes
};

// Starts the program on the machine. When `gate` is a pipe's reading end,
// the child first waits for one byte from it, so that many can be released
// at the same moment.
Started StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& machine, int gate = -1);

// Waits for the program to end.
support::RunResult FinishProgram(const Started& started);

// True while the program is still running.
bool StillRunning(const Started& started);

// The lines of a program's standard error that the machine wrote about
// itself (they begin with the program's name, a colon and the machine
// folder); the remover's trace, which also goes there, is left out.
std::vector<std::string> MachineReports(const std::string& errorOutput, const std::string& machine);

// The kinds of the system calls a run of the program makes, in order.
std::vector<std::string> TraceCalls(const std::string& program,
                                    const std::vector<std::string>& arguments,
                                    const std::string& machine);

} // namespace robust
