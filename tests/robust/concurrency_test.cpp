// Runs on one machine follow one another under its lock: sixteen started
// at the same moment leave what the same runs leave one after another.
#include "processes.h"
#include "support/diskimages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace
{

using support::Fixture;
using support::ImageOf;
using support::Program;

struct ProgramRun
{
    const char* program;
    std::vector<std::string> arguments;
};

// Half of the runs install the printer, with and without making it the
// default; the other half each remove a different printer of the fixture.
std::vector<ProgramRun> SixteenRuns()
{
    std::vector<ProgramRun> runs;
    for (int i = 0; i < 8; ++i)
        runs.push_back({"prnsetup", {i % 2 == 0 ? "/D0" : "/D1", "/P\"LPT1:\""}});
    for (const char* driver :
         {"ALDER", "BIRCH", "CEDAR", "DOGWOOD", "ELM", "FIR", "GINKGO", "HAZEL"})
        runs.push_back({"prnpurge", {std::string("/D\"") + driver + "\""}});
    return runs;
}

void ExpectCleanEnd(const ProgramRun& run, const support::RunResult& result)
{
    EXPECT_EQ(0, result.exitStatus) << run.program << " " << run.arguments[0];
    if (std::string(run.program) == "prnsetup")
    {
        EXPECT_EQ("", result.errorOutput);
    }
}

// The image, then each file the runs placed in C:\WINDOWS\INF, by name.
std::string MachineState(const std::string& machine)
{
    std::string state = ImageOf(machine);
    std::string inf = machine + "/drive_c/WINDOWS/INF";
    std::vector<std::string> names;
    if (DIR* dir = opendir(inf.c_str()))
    {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        state += "\n== " + name + "\n" + support::ReadFile(inf + "/" + name);
    return state;
}

using MachineMaker = std::string (*)();

std::string OneAfterAnother(const std::vector<ProgramRun>& runs, MachineMaker newMachine)
{
    std::string machine = newMachine();
    for (const ProgramRun& run : runs)
        ExpectCleanEnd(run, support::RunProgram(Program(run.program), run.arguments, machine));
    return MachineState(machine);
}

// Starts every run, then lets them all go at the same moment.
std::string AllAtOnce(const std::vector<ProgramRun>& runs, MachineMaker newMachine)
{
    std::string machine = newMachine();
    int gate[2];
    EXPECT_EQ(0, pipe(gate));
    std::vector<robust::Started> started;
    for (const ProgramRun& run : runs)
        started.push_back(
            robust::StartProgram(Program(run.program), run.arguments, machine, gate[0]));
    std::string bytes(runs.size(), 'x');
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), write(gate[1], bytes.data(), bytes.size()));
    close(gate[0]);
    close(gate[1]);
    for (std::size_t i = 0; i < runs.size(); ++i)
        ExpectCleanEnd(runs[i], robust::FinishProgram(started[i]));
    EXPECT_FALSE(support::FileExists(machine + "/registry.reg.new"));
    return MachineState(machine);
}

std::string ManyPrinters()
{
    return support::MachineWithImage(Fixture("many-printers.reg"));
}

void ExpectSerialResult(const std::vector<ProgramRun>& runs, MachineMaker newMachine, int rounds)
{
    std::string serial = OneAfterAnother(runs, newMachine);
    std::vector<ProgramRun> reversed(runs.rbegin(), runs.rend());
    ASSERT_EQ(serial, OneAfterAnother(reversed, newMachine))
        << "the result must not depend on the order";
    for (int round = 0; round < rounds; ++round)
        EXPECT_EQ(serial, AllAtOnce(runs, newMachine)) << "round " << round;
    std::printf("%d rounds of %zu concurrent runs compared with the serial result\n", rounds,
                runs.size());
}

TEST(Concurrency, SixteenRunsAtOnceEqualTheSameRunsOneAfterAnother)
{
    std::vector<ProgramRun> runs = SixteenRuns();
    ASSERT_EQ(16u, runs.size());
    ASSERT_NE(Fixture("many-printers.reg"), OneAfterAnother(runs, ManyPrinters));
    ExpectSerialResult(runs, ManyPrinters, 8);
}

// The first of them creates the default machine; the removals find nothing
// to remove but still take the machine in turn.
TEST(Concurrency, SixteenRunsAtOnceOnAMachineThatDoesNotExistYet)
{
    std::vector<ProgramRun> runs;
    for (int i = 0; i < 8; ++i)
    {
        runs.push_back({"prnsetup", {i % 2 == 0 ? "/D1" : "/D0", "/P\"LPT1:\""}});
        runs.push_back({"prnpurge", {"/D\"ALDER\""}});
    }
    ExpectSerialResult(runs, support::FreshMachine, 4);
}

// The registry, its first copy and the setup files of a disk image.
std::string DiskState(const support::WindowsDisk& disk)
{
    std::string state;
    for (const char* file : {"SYSTEM.DAT", "SYSTEM.TVB", "INF/OEM0.INF", "INF/OEM1.INF",
                             "INF/OEM2.INF", "INF/OEM3.INF", "INF/OEM4.INF"})
        state +=
            std::string("\n== ") + file + "\n" + support::FileIn(disk, "/WIN/" + std::string(file));
    return state;
}

// Our own runs on one disk image take turns, as they do on a machine
// folder (a lock of any other program is refused at once: see the disk
// image tests): four installs let go at the same moment leave what four
// in a row leave, and each ends without a word.
TEST(Concurrency, RunsOnOneDiskImageTakeTurns)
{
    const std::string missing = support::MissingFatTool();
    if (!missing.empty())
        GTEST_SKIP() << missing << " cannot be run: install mtools and dosfstools";
    const std::vector<std::string> install = {"/D1", "/P\"LPT1:\""};
    support::WindowsDisk serial = support::MakeWindowsDisk(Fixture("default.reg"));
    for (int run = 0; run < 4; ++run)
        EXPECT_EQ("", support::RunProgram(Program("prnsetup"), install, serial.path).errorOutput);

    support::WindowsDisk disk = support::MakeWindowsDisk(Fixture("default.reg"));
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<robust::Started> started;
    for (int run = 0; run < 4; ++run)
        started.push_back(robust::StartProgram(Program("prnsetup"), install, disk.path, gate[0]));
    EXPECT_EQ(4, write(gate[1], "xxxx", 4));
    close(gate[0]);
    close(gate[1]);
    for (const robust::Started& run : started)
    {
        support::RunResult result = robust::FinishProgram(run);
        EXPECT_EQ(0, result.exitStatus);
        EXPECT_EQ("", result.errorOutput);
    }
    EXPECT_TRUE(DiskState(serial) == DiskState(disk))
        << "the runs did not leave what runs in a row leave";
}

TEST(Concurrency, RunWaitsWhileAnotherHoldsTheMachine)
{
    std::string before = Fixture("default.reg");
    std::string machine = support::MachineWithImage(before);
    int holder = open(machine.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(0, flock(holder, LOCK_EX));

    robust::Started started =
        robust::StartProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(robust::StillRunning(started));
    EXPECT_EQ(before, ImageOf(machine));

    close(holder);
    support::RunResult result = robust::FinishProgram(started);
    EXPECT_EQ(0, result.exitStatus);
    support::ExpectImageChange(before, ImageOf(machine), Fixture("golden/install-d1-lpt1.reg"));
}

} // namespace
