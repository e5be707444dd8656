#include "support/machines.h"

#include <gtest/gtest.h>

namespace
{

using support::ImageOf;
using support::Program;
using support::RunProgram;

TEST(Install, WithoutLeadingSwitchTouchesNothing)
{
    std::string fresh = support::FreshMachine();
    for (const char* argument : {"", "D1", "x /D1"})
    {
        support::RunResult result = RunProgram(Program("prnsetup"), {argument}, fresh);
        EXPECT_EQ(0, result.exitStatus);
        EXPECT_EQ("", result.errorOutput);
    }
    EXPECT_FALSE(support::FileExists(fresh));

    std::string image = support::Fixture("default.reg");
    std::string machine = support::MachineWithImage(image);
    EXPECT_EQ(0, RunProgram(Program("prnsetup"), {"D1", "/P\"LPT1:\""}, machine).exitStatus);
    EXPECT_EQ(image, ImageOf(machine));
}

} // namespace
