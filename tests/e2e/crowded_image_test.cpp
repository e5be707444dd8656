// On a machine shaped like a registry in use, where most keys share a
// parent with thousands of others, the programs change exactly what they
// change on any other, and every other byte of the image stays as it was.
#include "bench/generator.h"
#include "support/machines.h"

#include <gtest/gtest.h>

namespace
{

TEST(CrowdedImage, InstallAndRemovalChangeOnlyTheirRecords)
{
    std::string before = bench::GenerateImage(13, 3 << 20, bench::Profile::Crowded);
    std::string machine = support::MachineWithImage(before);
    support::RunResult install =
        support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine);
    EXPECT_EQ(0, install.exitStatus);
    EXPECT_EQ("", install.errorOutput);
    std::string installed = support::ImageOf(machine);
    support::ExpectImageChange(before, installed, support::Fixture("golden/install-d1-lpt1.reg"));
    support::RunResult removal =
        support::RunProgram(support::Program("prnpurge"), {"/D\"TVDRV\""}, machine);
    EXPECT_EQ(0, removal.exitStatus);
    support::ExpectImageChange(
        installed, support::ImageOf(machine),
        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]\r\n");
}

} // namespace
