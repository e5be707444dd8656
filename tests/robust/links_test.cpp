// Symbolic links in a machine folder: none leads a C: write out of drive_c,
// whether the kernel confines the walk (openat2) or the machine walks the
// path itself; an image reached through a link is saved through it.
#include "processes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

using support::Entries;
using support::Fixture;
using support::InfDir;
using support::Program;
using support::RunProgram;

const std::vector<std::string> install = {"/D1", "/P\"LPT1:\""};
const std::vector<std::string> none;
const std::vector<std::string> kernelFallbacks = {"WIN95_KERNEL_FALLBACKS=1"};

struct PlantedLink
{
    const char* name;
    const char* at;     // where the link is planted, below drive_c/WINDOWS
    std::string target; // where it leads; "@" stands for the folder outside
    const char* placed; // the name the copy must get in the INF folder; null for none
};

std::string Expand(const std::string& target, const std::string& outside)
{
    std::size_t at = target.find('@');
    return at == std::string::npos ? target
                                   : target.substr(0, at) + outside + target.substr(at + 1);
}

TEST(Links, PlantedOnDriveCLeadNoWriteOutsideIt)
{
    const PlantedLink links[] = {
        {"FileLinkToNothingOutside", "INF/OEM0.INF", "@/created", "OEM1.INF"},
        {"FileLinkToAFileOutside", "INF/OEM0.INF", "@/kept", "OEM1.INF"},
        {"FolderLinkOutside", "INF", "@", nullptr},
        {"RelativeFolderLinkClimbingOut", "INF", "../../../../../../../../../..@", nullptr},
    };
    for (bool fallbacks : {false, true})
        for (const PlantedLink& link : links)
        {
            std::string what = std::string(link.name) + (fallbacks ? ", walked" : ", openat2");
            std::string outside = support::TempDir();
            support::WriteFile(outside + "/kept", "kept\r\n");
            std::string machine = support::MachineWithImage(Fixture("default.reg"));
            std::string planted = machine + "/drive_c/WINDOWS/" + link.at;
            rmdir(planted.c_str());
            ASSERT_EQ(0, symlink(Expand(link.target, outside).c_str(), planted.c_str())) << what;

            support::RunResult result = RunProgram(Program("prnsetup"), install, machine,
                                                   fallbacks ? kernelFallbacks : none);

            EXPECT_EQ(0, result.exitStatus) << what;
            EXPECT_EQ((std::map<std::string, std::string>{{"kept", "kept\r\n"}}), Entries(outside))
                << what;
            if (link.placed == nullptr)
                continue;
            std::map<std::string, std::string> inf = Entries(InfDir(machine));
            EXPECT_EQ(2u, inf.size()) << what;
            EXPECT_EQ("-> " + Expand(link.target, outside), inf["OEM0.INF"]) << what;
            EXPECT_EQ(support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF"),
                      inf[link.placed])
                << what;
        }
}

// An image on a disk that is not mounted must not be replaced by a new one.
TEST(Links, ImageLinkToNothingIsReportedAndNothingIsCreated)
{
    std::string machine = support::MachineWithImage("");
    std::string missing = support::TempDir() + "/unmounted/registry.reg";
    std::string image = machine + "/registry.reg";
    ASSERT_EQ(0, unlink(image.c_str()));
    ASSERT_EQ(0, symlink(missing.c_str(), image.c_str()));

    support::RunResult result = RunProgram(Program("prnsetup"), install, machine);

    EXPECT_EQ(0, result.exitStatus);
    std::vector<std::string> reports = robust::MachineReports(result.errorOutput, machine);
    ASSERT_EQ(1u, reports.size()) << result.errorOutput;
    EXPECT_NE(std::string::npos, reports[0].find(missing)) << reports[0];
    EXPECT_EQ("-> " + missing, Entries(machine)["registry.reg"]);
    EXPECT_FALSE(support::FileExists(missing));
    EXPECT_EQ(0u, Entries(InfDir(machine)).size());
}

TEST(Links, SaveThroughALinkReplacesTheFileItLinksTo)
{
    std::string machine = support::MachineWithImage("");
    std::string images = support::TempDir();
    std::string target = images + "/machine-a.reg";
    support::WriteFile(target, Fixture("default.reg"));
    std::string image = machine + "/registry.reg";
    ASSERT_EQ(0, unlink(image.c_str()));
    ASSERT_EQ(0, symlink(target.c_str(), image.c_str()));

    support::RunResult result = RunProgram(Program("prnsetup"), install, machine);

    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ("", result.errorOutput);
    EXPECT_EQ("-> " + target, Entries(machine)["registry.reg"]);
    EXPECT_EQ(2u, Entries(machine).size()) << "a temporary image was left";
    EXPECT_EQ(1u, Entries(images).size()) << "a temporary image was left";
    support::ExpectImageChange(Fixture("default.reg"), support::ReadFile(target),
                               Fixture("golden/install-d1-lpt1.reg"));
}

} // namespace
