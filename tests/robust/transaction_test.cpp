// A run is one transaction over the whole machine: the file it places on
// C: is there exactly when the registry image it wrote is, whichever way
// the machine makes unnamed files.
#include "platform/files.h"
#include "platform/posix/machine/machine.h"
#include "processes.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace
{

using support::Entries;
using support::Fixture;
using support::ImageOf;
using support::InfDir;
using support::Program;
using support::RunProgram;

const std::vector<std::string> install = {"/D1", "/P\"LPT1:\""};

TEST(Transaction, ImageThatCannotBeReadLeavesDriveCAlone)
{
    std::string broken = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\r\n";
    std::string machine = support::MachineWithImage(broken);
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(0, RunProgram(Program("prnsetup"), install, machine).exitStatus);
    EXPECT_EQ(broken, ImageOf(machine));
    EXPECT_EQ(0u, Entries(InfDir(machine)).size());
}

// A failed save takes the placed file with it, so that a run retried
// afterwards places the one copy; a run killed before its save leaves none.
TEST(Transaction, FileIsPlacedOnlyWithTheImage)
{
    const char* const faults[] = {"rename:1:fail", "fsync:1:fail", "chown:1:fail",
                                  "rename:1:crash"};
    for (bool fallbacks : {false, true})
        for (const char* fault : faults)
        {
            std::string what = std::string(fault) + (fallbacks ? ", named files" : "");
            bool crash = std::string(fault).find("crash") != std::string::npos;
            // Where no unnamed file can be made, a killed run leaves its copy.
            if (fallbacks && crash)
                continue;
            std::string machine = support::MachineWithImage(Fixture("default.reg"));
            std::vector<std::string> env = {"WIN95_FAULT=" + std::string(fault)};
            if (fallbacks)
                env.push_back("WIN95_KERNEL_FALLBACKS=1");

            support::RunResult failed = RunProgram(Program("prnsetup"), install, machine, env);
            EXPECT_EQ(crash ? -1 : 0, failed.exitStatus) << what;
            EXPECT_EQ(Fixture("default.reg"), ImageOf(machine)) << what;
            EXPECT_EQ(0u, Entries(InfDir(machine)).size()) << what;

            ASSERT_EQ(0, RunProgram(Program("prnsetup"), install, machine).exitStatus) << what;
            std::map<std::string, std::string> inf = Entries(InfDir(machine));
            EXPECT_EQ(1u, inf.size()) << what;
            EXPECT_EQ(1u, inf.count("OEM0.INF")) << what;
        }
}

// Its registry unchanged, a run still places its file; until the commit
// the file is out of sight, yet its name is taken.
TEST(Transaction, FileIsPlacedWithoutChangeToTheRegistry)
{
    ASSERT_NE(nullptr, win95::MachineDrive('C'));
    std::string driveC = std::string(std::getenv("WIN95PREFIX")) + "/drive_c";
    std::string machine = driveC.substr(0, driveC.rfind('/'));
    std::string before = ImageOf(machine);

    TextFile* file = OpenTextFile("C:\\WINDOWS\\INF\\PLACED.INF", TRUE);
    ASSERT_NE(nullptr, file);
    EXPECT_TRUE(WriteText(file, "[Version]\n"));
    EXPECT_TRUE(CloseTextFile(file));
    EXPECT_TRUE(PathExists("C:\\WINDOWS\\INF\\placed.inf"));
    EXPECT_EQ(0u, Entries(InfDir(machine)).count("PLACED.INF"));

    win95::CommitMachine();

    EXPECT_EQ("[Version]\r\n", Entries(InfDir(machine))["PLACED.INF"]);
    EXPECT_EQ(before, ImageOf(machine));
}

} // namespace
