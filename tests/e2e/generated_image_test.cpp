#include "bench/generator.h"
#include "support/machines.h"

#include <gtest/gtest.h>

namespace
{

using support::Fixture;
using support::ImageOf;
using support::Program;
using support::RunProgram;

// On a large realistic machine the programs change exactly what they change
// on the default one, and every other byte of the image stays as it was.
class GeneratedImage : public testing::Test
{
  protected:
    void SetUp() override
    {
        before = bench::GenerateImage(11, 3 << 20);
        machine = support::MachineWithImage(before);
    }

    void Run(const std::string& program, const std::vector<std::string>& arguments)
    {
        support::RunResult result = RunProgram(Program(program), arguments, machine);
        EXPECT_EQ(0, result.exitStatus);
        if (program == "prnsetup")
        {
            EXPECT_EQ("", result.errorOutput);
        }
    }

    std::string before;
    std::string machine;
};

TEST_F(GeneratedImage, InstallWritesItsRecordsAndNothingElse)
{
    Run("prnsetup", {"/D1", "/P\"LPT1:\""});
    support::ExpectImageChange(before, ImageOf(machine), Fixture("golden/install-d1-lpt1.reg"));
}

TEST_F(GeneratedImage, RemovalTakesTheInstalledPrinterAndNothingElse)
{
    Run("prnsetup", {"/D1", "/P\"LPT1:\""});
    std::string installed = ImageOf(machine);
    Run("prnpurge", {"/D\"TVDRV\""});
    support::ExpectImageChange(
        installed, ImageOf(machine),
        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]\r\n");
}

TEST_F(GeneratedImage, RunWithoutSwitchLeavesTheImageAlone)
{
    Run("prnsetup", {"D1", "/P\"LPT1:\""});
    EXPECT_EQ(before, ImageOf(machine));
}

TEST_F(GeneratedImage, ImageThatCannotBeMappedIsReportedOnceAndLeftAlone)
{
    support::RunResult result = RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine,
                                           {"WIN95_FAULT=map:1:fail"});
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ("prnsetup: " + machine +
                  "/registry.reg: cannot read the registry image: Input/output error\n",
              result.errorOutput);
    EXPECT_EQ(before, ImageOf(machine));
}

// The untouched parts of a large image are copied from the image file by
// the kernel; a copy that fails leaves the image as it was.
TEST_F(GeneratedImage, FailedCopyIntoTheNewImageLeavesTheOldOne)
{
    support::RunResult result = RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine,
                                           {"WIN95_FAULT=copy:2:fail"});
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ("prnsetup: " + machine +
                  "/registry.reg: cannot save the registry image: Input/output error\n",
              result.errorOutput);
    EXPECT_EQ(before, ImageOf(machine));
    EXPECT_FALSE(support::FileExists(machine + "/registry.reg.new"));
}

} // namespace
