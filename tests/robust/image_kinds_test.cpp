// A registry.reg that is no file (a named pipe, a folder) is reported in
// one line at once, without waiting on it, and the machine is left alone.
#include "processes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using support::Entries;
using support::InfDir;

TEST(SpecialFiles, ImageThatIsNoFileIsReportedWithoutWaitingOnIt)
{
    const std::pair<const char*, int (*)(const char*)> kinds[] = {
        {"named pipe", [](const char* path) { return mkfifo(path, 0644); }},
        {"folder", [](const char* path) { return mkdir(path, 0755); }},
    };
    for (const auto& [kind, make] : kinds)
    {
        std::string machine = support::MachineWithImage("");
        std::string image = machine + "/registry.reg";
        ASSERT_EQ(0, unlink(image.c_str()));
        ASSERT_EQ(0, make(image.c_str()));

        robust::Started run =
            robust::StartProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (robust::StillRunning(run) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool hung = robust::StillRunning(run);
        if (hung)
            kill(run.pid, SIGKILL);
        support::RunResult result = robust::FinishProgram(run);

        EXPECT_FALSE(hung) << kind << ": the run waited on the image";
        EXPECT_EQ(0, result.exitStatus) << kind;
        std::vector<std::string> reports = robust::MachineReports(result.errorOutput, machine);
        ASSERT_EQ(1u, reports.size()) << kind << ": " << result.errorOutput;
        EXPECT_NE(std::string::npos, reports[0].find(std::string(kind) + ", not a file"))
            << reports[0];
        struct stat info;
        ASSERT_EQ(0, lstat(image.c_str(), &info)) << kind;
        EXPECT_FALSE(S_ISREG(info.st_mode)) << kind;
        EXPECT_EQ(0u, Entries(InfDir(machine)).size()) << kind;
    }
}

} // namespace
