// What WIN95PREFIX names, when it is no machine, and a registry.reg that
// is no file (a named pipe, a folder): each is reported in one line at
// once, without waiting on it, and the machine is left alone.
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

// A WIN95PREFIX that names no machine is refused in one line, and nothing
// is made or changed: a new machine folder is made only in a folder that
// exists, under a name that is not a disk image's, a registry file's or a
// Windows directory's. WIN95STRICT=1 makes the run exit with 1.
TEST(SpecialFiles, PrefixThatNamesNoMachineIsRefusedAndNothingIsMade)
{
    const std::string base = support::TempDir();
    const std::string windows = base + "/c/WINDOWS";
    ASSERT_EQ(0, mkdir((base + "/c").c_str(), 0755));
    ASSERT_EQ(0, mkdir(windows.c_str(), 0755));
    support::WriteFile(windows + "/SYSTEM.DAT",
                       support::SystemDatOf(support::Fixture("default.reg")));
    const std::string machine = support::MachineWithImage(support::Fixture("default.reg"));
    const struct
    {
        std::string prefix;
        std::string says;
    } cases[] = {
        {base + "/win98.img", "there is no such disk image"},
        {base + "/vms/win98.img", "there is no such disk image"},
        {base + "/Win98.QCOW2", "there is no such disk image"},
        {"~/.win95", "write $HOME instead"},
        {base + "/vms/machine", "nor the folder " + base + "/vms/"},
        {base + "/registry.reg", "there is no such registry file"},
        {base + "/WINDOWS", "there is no such Windows directory"},
        {machine + "/registry.reg", "it is a registry file, not a machine"},
        {windows + "/SYSTEM.DAT", "it is a registry file, not a machine"},
        {windows, "it is a Windows directory (it holds SYSTEM.DAT), not a C: drive"},
    };
    const auto before = std::make_pair(Entries(base), Entries(windows));
    const std::string image = support::ImageOf(machine);
    for (const auto& wrong : cases)
    {
        support::RunResult run = support::RunProgram(
            support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, wrong.prefix, {"WIN95STRICT=1"});
        EXPECT_EQ(1, run.exitStatus) << wrong.prefix;
        std::vector<std::string> reports = robust::MachineReports(run.errorOutput, wrong.prefix);
        ASSERT_EQ(1u, reports.size()) << wrong.prefix << ": " << run.errorOutput;
        EXPECT_EQ(run.errorOutput, reports[0] + "\n");
        EXPECT_NE(std::string::npos, reports[0].find(wrong.says)) << reports[0];
        EXPECT_TRUE(before == std::make_pair(Entries(base), Entries(windows))) << wrong.prefix;
        EXPECT_EQ(image, support::ImageOf(machine)) << wrong.prefix;
    }
    EXPECT_FALSE(support::FileExists("~"));
}

} // namespace
