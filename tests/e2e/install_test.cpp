#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

using support::Fixture;
using support::ImageOf;
using support::Program;
using support::RunProgram;

const char* const typical[] = {"/D1", "/P\"LPT1:\""};

support::RunResult Install(const std::string& machine, const std::vector<std::string>& arguments)
{
    support::RunResult result = RunProgram(Program("prnsetup"), arguments, machine);
    EXPECT_EQ(0, result.exitStatus);
    return result;
}

TEST(Install, TypicalRunWritesEveryRecordAndPlacesTheSetupFile)
{
    std::string machine = support::FreshMachine();
    support::RunResult result = Install(machine, {typical[0], typical[1]});
    EXPECT_EQ("", result.errorOutput);
    support::ExpectImageChange(Fixture("default.reg"), ImageOf(machine),
                               Fixture("golden/install-d1-lpt1.reg"));
    EXPECT_EQ(support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF"),
              support::ReadFile(machine + "/drive_c/WINDOWS/INF/OEM0.INF"));
}

TEST(Install, WithoutDefaultOrPortLeavesTheProfileAloneAndThePortZero)
{
    std::string machine = support::FreshMachine();
    Install(machine, {"/D0"});
    support::ExpectImageChange(Fixture("default.reg"), ImageOf(machine),
                               Fixture("golden/install-no-default.reg"));
}

TEST(Install, SecondRunWritesTheSameRecords)
{
    std::string machine = support::FreshMachine();
    Install(machine, {typical[0], typical[1]});
    std::string once = ImageOf(machine);
    Install(machine, {typical[0], typical[1]});
    EXPECT_EQ(once, ImageOf(machine));
}

TEST(Install, WithoutLeadingSwitchTouchesNothing)
{
    std::string fresh = support::FreshMachine();
    for (const char* argument : {"", "D1", "x /D1"})
    {
        support::RunResult result = Install(fresh, {argument});
        EXPECT_EQ("", result.errorOutput);
    }
    EXPECT_FALSE(support::FileExists(fresh));

    std::string image = Fixture("default.reg");
    std::string machine = support::MachineWithImage(image);
    Install(machine, {"D1", typical[1]});
    EXPECT_EQ(image, ImageOf(machine));
}

TEST(Install, AbsentParentsCreateNothing)
{
    std::string bare = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System]\r\n\r\n";
    std::string machine = support::MachineWithImage(bare);
    Install(machine, {typical[0], typical[1]});
    EXPECT_EQ(bare, ImageOf(machine));

    std::string printersOnly = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\"
                               "Control\\Print\\Printers]\r\n\r\n";
    machine = support::MachineWithImage(printersOnly);
    Install(machine, {typical[0], typical[1]});
    support::ExpectImageChange(printersOnly, ImageOf(machine), Fixture("golden/printer-only.reg"));
}

TEST(Install, ExistingPrinterKeepsValuesTheInstallerDoesNotName)
{
    std::string before = Fixture("existing-printer.reg");
    std::string machine = support::MachineWithImage(before);
    Install(machine, {typical[0], typical[1]});
    support::ExpectImageChange(before, ImageOf(machine), Fixture("golden/existing-printer.reg"));
}

TEST(Install, UnreadableImageIsReportedOnceAndLeftAlone)
{
    std::string broken = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System\r\n";
    std::string machine = support::MachineWithImage(broken);
    support::RunResult result = Install(machine, {typical[0], typical[1]});
    EXPECT_EQ(broken, ImageOf(machine));
    EXPECT_EQ(0, result.errorOutput.rfind("prnsetup: " + machine + "/registry.reg:3: ", 0))
        << result.errorOutput;
    EXPECT_EQ(1, std::count(result.errorOutput.begin(), result.errorOutput.end(), '\n'));
}

} // namespace
