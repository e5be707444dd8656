#include "processes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace robust
{

Started StartProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& machine, int gate)
{
    Started started;
    started.errorFile = support::TempDir() + "/stderr";
    support::ChildCommand command(program, arguments, machine);

    started.pid = fork();
    if (started.pid == 0)
    {
        int errorFd = open(started.errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(errorFd, 2);
        close(errorFd);
        char byte;
        if (gate >= 0 && read(gate, &byte, 1) != 1)
            _exit(126);
        execve(program.c_str(), command.argv.data(), command.envp.data());
        _exit(127);
    }
    EXPECT_GT(started.pid, 0) << "fork failed";
    return started;
}

support::RunResult FinishProgram(const Started& started)
{
    support::RunResult result;
    int status = 0;
    if (waitpid(started.pid, &status, 0) == started.pid && WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    result.errorOutput = support::ReadFile(started.errorFile);
    return result;
}

bool StillRunning(const Started& started)
{
    siginfo_t info = {};
    // Leaves an ended program to FinishProgram, which collects its status.
    return waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::vector<std::string> MachineReports(const std::string& errorOutput, const std::string& machine)
{
    std::vector<std::string> reports;
    std::istringstream lines(errorOutput);
    for (std::string line; std::getline(lines, line);)
        for (const char* program : {"prnsetup: ", "prnpurge: "})
            if (line.rfind(program + machine, 0) == 0)
                reports.push_back(line);
    return reports;
}

std::vector<std::string> TraceCalls(const std::string& program,
                                    const std::vector<std::string>& arguments,
                                    const std::string& machine)
{
    std::string traceFile = support::TempDir() + "/trace";
    support::RunResult result =
        support::RunProgram(program, arguments, machine, {"WIN95_FAULT_TRACE=" + traceFile});
    EXPECT_EQ(0, result.exitStatus);
    std::vector<std::string> calls;
    std::istringstream lines(support::ReadFile(traceFile));
    for (std::string line; std::getline(lines, line);)
        calls.push_back(line);
    return calls;
}

} // namespace robust
