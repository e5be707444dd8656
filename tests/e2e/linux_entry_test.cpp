// What the Linux entry adds around the Windows programs: --help and
// --version on standard output, and one line on standard error when a
// switch value came out empty, most often because the shell took its
// quotes; the Windows reading of the command line stays as it is.
#include "support/machines.h"

#include <gtest/gtest.h>

namespace
{

using support::Program;
using support::RunProgram;

TEST(LinuxEntry, HelpAndVersionAnswerOnStandardOutputWithoutTouchingTheMachine)
{
    const std::string machine = support::FreshMachine();
    for (const std::string program : {"prnsetup", "prnpurge"})
    {
        support::RunResult help = RunProgram(Program(program), {"--help"}, machine);
        EXPECT_EQ(0, help.exitStatus);
        EXPECT_EQ("usage: " + program + " ", help.output.substr(0, program.size() + 8));
        EXPECT_EQ("", help.errorOutput);
        support::RunResult version = RunProgram(Program(program), {"--version"}, machine);
        EXPECT_EQ(0, version.exitStatus);
        EXPECT_EQ(program + " (Tavrine printer tools) " TAVRINE_VERSION "\n", version.output);
    }
    EXPECT_FALSE(support::FileExists(machine));
}

TEST(LinuxEntry, EmptyValueIsExplainedInOneLineAndTheRunIsUnchanged)
{
    const std::string port = "prnsetup: the port is empty: ";
    const std::string name = "prnpurge: the driver name is empty: ";
    const struct
    {
        const char* program;
        std::vector<std::string> arguments;
        std::string errorOutput;
    } cases[] = {
        {"prnsetup",
         {"/D1", "/PLPT1:"},
         port + "the shell took the quotes out of /PLPT1:; type it as '/P\"LPT1:\"'\n"},
        {"prnsetup",
         {"/p\"COM2:"},
         port + "/p\"COM2: has no closing quote; type it as '/P\"COM2:\"'\n"},
        {"prnsetup", {"/?"}, port + "no /P was read; type it as '/P\"LPT1:\"'\n"},
        {"prnsetup", {"/P\"\""}, ""},
        {"prnsetup", {"--D1"}, ""},
        {"prnsetup", {"/D1", "/P\"LPT1:\""}, ""},
        {"prnpurge",
         {"/DTVDRV"},
         "NO DRVNAME\n" + name +
             "the shell took the quotes out of /DTVDRV; type it as '/D\"TVDRV\"'\n"},
        {"prnpurge", {}, "NO DRVNAME\n"},
    };
    for (const auto& run : cases)
    {
        SCOPED_TRACE(std::string(run.program) + " " +
                     (run.arguments.empty() ? "" : run.arguments[0]));
        const std::string machine = support::FreshMachine();
        support::RunResult result = RunProgram(Program(run.program), run.arguments, machine);
        EXPECT_EQ(0, result.exitStatus);
        EXPECT_EQ(run.errorOutput, result.errorOutput);
    }

    // The installer still installs with an empty port, as on Windows.
    const std::string unquoted = support::FreshMachine();
    const std::string withoutPort = support::FreshMachine();
    RunProgram(Program("prnsetup"), {"/D1", "/PLPT1:"}, unquoted);
    RunProgram(Program("prnsetup"), {"/D1"}, withoutPort);
    EXPECT_NE(support::Fixture("default.reg"), support::ImageOf(unquoted));
    EXPECT_EQ(support::ImageOf(withoutPort), support::ImageOf(unquoted));
}

} // namespace
