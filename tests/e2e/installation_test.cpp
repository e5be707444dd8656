// The programs on a folder that is a Windows 9x C: drive: the same records
// as on a machine folder, through SYSTEM.DAT, with the installation's own
// backup kept.
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <sys/stat.h>

namespace
{

using support::Fixture;
using support::ReadFile;

struct Case
{
    const char* fixture; // the image before the run
    const char* program;
    std::vector<std::string> arguments;
    const char* golden;  // golden/<golden>.reg is the change; null when nothing changes
    const char* removed; // for prnpurge: the printer it removes, which is the change
};

const char* const typical[] = {"/D1", "/P\"LPT1:\""};
const char* const port = "/P\"LPT1:\"";

const Case cases[] = {
    {"default", "prnsetup", {typical[0], typical[1]}, "install-d1-lpt1", nullptr},
    {"default", "prnsetup", {"/D0"}, "install-no-default", nullptr},
    {"existing-printer", "prnsetup", {typical[0], typical[1]}, "existing-printer", nullptr},
    {"port-second-instance", "prnsetup", {port}, "port-second-instance", nullptr},
    {"port-root-only", "prnsetup", {port}, "port-root-only", nullptr},
    {"port-bios-before-root", "prnsetup", {port}, "port-bios-before-root", nullptr},
    {"port-unterminated", "prnsetup", {port}, "port-unterminated", nullptr},
    {"port-value-lengths", "prnsetup", {port}, "port-value-lengths", nullptr},
    {"port-long-names", "prnsetup", {port}, "port-long-names", nullptr},
    {"port-no-match", "prnsetup", {port}, nullptr, nullptr},
    {"port-no-lptenum", "prnsetup", {port}, nullptr, nullptr},
    {"shell-no-handler-parent", "prnsetup", {port}, "shell-no-handler-parent", nullptr},
    {"shell-no-clsid", "prnsetup", {port}, "shell-no-clsid", nullptr},
    {"prnpurge/three_printers", "prnpurge", {"/D\"TVDRV\""}, nullptr, "Tavrine"},
    {"prnpurge/sweep", "prnpurge", {"/D\"CAF\xC9\""}, nullptr, "Cafe"},
};

std::string ChangeOf(const Case& c)
{
    if (c.golden != nullptr)
        return Fixture("golden/" + std::string(c.golden) + ".reg");
    if (c.removed != nullptr)
        return "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\" +
               std::string(c.removed) + "]\r\n";
    return "";
}

class BothStorages : public testing::TestWithParam<Case>
{
};

// The same run on a machine folder and on an installation made from the
// same image changes both as the golden fragment says, and reads the same
// (the remover's trace names every value it read).
TEST_P(BothStorages, GiveTheSameRecords)
{
    const Case& c = GetParam();
    std::string image = Fixture(std::string(c.fixture) + ".reg");
    std::string change = ChangeOf(c);
    std::string machine = support::MachineWithImage(image);
    std::string drive = support::InstallationWithImage(image, "WINDOWS");
    std::string systemDat = drive + "/WINDOWS/SYSTEM.DAT";
    std::string before = support::InstallationText(systemDat);

    support::RunResult onFolder =
        support::RunProgram(support::Program(c.program), c.arguments, machine);
    support::RunResult onDrive =
        support::RunProgram(support::Program(c.program), c.arguments, drive);

    EXPECT_EQ(0, onDrive.exitStatus);
    EXPECT_EQ(onFolder.errorOutput, onDrive.errorOutput);
    if (change.empty())
    {
        EXPECT_EQ(image, support::ImageOf(machine));
        EXPECT_EQ(before, support::InstallationText(systemDat));
        return;
    }
    support::ExpectImageChange(image, support::ImageOf(machine), change);
    support::ExpectImageChange(before, support::InstallationText(systemDat), change);
}

INSTANTIATE_TEST_SUITE_P(Cases, BothStorages, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info)
                         {
                             std::string name = info.param.program + std::to_string(info.index) +
                                                "_" + info.param.fixture;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

// The setup file lands in the Windows directory MSDOS.SYS names, and the
// spooler's driver paths lie in its SYSTEM folder; the first save keeps
// the SYSTEM.DAT it replaced as SYSTEM.TVB, and later saves keep that one;
// Windows' own backups stay as they were.
TEST(Installation, PlacesTheSetupFileAndKeepsTheFirstRegistry)
{
    std::string drive = support::InstallationWithImage(Fixture("default.reg"), "Win");
    std::string original = ReadFile(drive + "/Win/SYSTEM.DAT");
    support::WriteFile(drive + "/Win/SYSTEM.DA0", original);
    support::WriteFile(drive + "/Win/USER.DA0", "user backup");

    support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, drive);
    std::string installed = ReadFile(drive + "/Win/SYSTEM.DAT");
    support::RunProgram(support::Program("prnpurge"), {"/D\"C:\\Win\\SYSTEM\\TVDRV\""}, drive);

    EXPECT_NE(original, installed);
    EXPECT_EQ(std::string::npos,
              support::InstallationText(drive + "/Win/SYSTEM.DAT")
                  .find("[HKEY_LOCAL_"
                        "MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]"));
    EXPECT_EQ(ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF"),
              ReadFile(drive + "/Win/INF/OEM0.INF"));
    EXPECT_EQ(original, ReadFile(drive + "/Win/SYSTEM.TVB"));
    EXPECT_FALSE(support::FileExists(drive + "/Win/SYSTEM.TVN"));
    std::set<std::string> names;
    for (const auto& entry : support::Entries(drive + "/Win"))
        names.insert(entry.first);
    EXPECT_EQ(std::set<std::string>({"INF", "SYSTEM.DA0", "SYSTEM.DAT", "SYSTEM.TVB", "USER.DA0"}),
              names);
    EXPECT_EQ(original, ReadFile(drive + "/Win/SYSTEM.DA0"));
    EXPECT_EQ("user backup", ReadFile(drive + "/Win/USER.DA0"));
}

// What cannot be used is named in one line and left as it is.
TEST(Installation, RefusesWhatItCannotUse)
{
    std::string damaged = support::InstallationWithImage(Fixture("default.reg"));
    std::string bytes = ReadFile(damaged + "/WIN98/SYSTEM.DAT");
    bytes[0x20] = 'X';
    support::WriteFile(damaged + "/WIN98/SYSTEM.DAT", bytes);
    support::RunResult run =
        support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, damaged);
    EXPECT_EQ("prnsetup: " + damaged +
                  "/WIN98/SYSTEM.DAT: offset 0x20: no RGKN key tree after the header\n",
              run.errorOutput);
    EXPECT_EQ(bytes, ReadFile(damaged + "/WIN98/SYSTEM.DAT"));
    EXPECT_FALSE(support::FileExists(damaged + "/WIN98/INF/OEM0.INF"));

    std::string elsewhere = support::InstallationWithImage(Fixture("default.reg"));
    support::WriteFile(elsewhere + "/MSDOS.SYS", "[Paths]\r\nWinDir=D:\\WINDOWS\r\n");
    run = support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, elsewhere);
    EXPECT_EQ("prnsetup: " + elsewhere +
                  ": cannot read the registry image: MSDOS.SYS puts the Windows directory on "
                  "another drive than C:\n",
              run.errorOutput);
    std::map<std::string, std::string> untouched = {
        {"MSDOS.SYS", ReadFile(elsewhere + "/MSDOS.SYS")}, {"WIN98", "<dir>"}};
    EXPECT_EQ(untouched, support::Entries(elsewhere));
}

// SYSTEM.TVB keeps the registry from before the first change. When its
// name is held by something else (a folder, a link to nothing), the run
// saves nothing rather than lose that registry, and says so in one line.
TEST(Installation, BackupNameHeldByAnotherEntryRefusesTheSave)
{
    const std::pair<const char*, int (*)(const char*)> holders[] = {
        {"a folder", [](const char* path) { return mkdir(path, 0755); }},
        {"a symbolic link", [](const char* path) { return symlink("nowhere", path); }},
    };
    for (const auto& [kind, make] : holders)
    {
        std::string drive = support::InstallationWithImage(Fixture("default.reg"), "Win");
        ASSERT_EQ(0, make((drive + "/Win/system.tvb").c_str()));
        const auto before = support::Entries(drive + "/Win");
        support::RunResult run = support::RunProgram(
            support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, drive, {"WIN95STRICT=1"});
        EXPECT_EQ(1, run.exitStatus) << kind;
        EXPECT_EQ("prnsetup: " + drive + "/Win/SYSTEM.DAT: the registry was not saved: " + drive +
                      "/Win/system.tvb is " + kind +
                      ", where the copy of SYSTEM.DAT from before the first change is kept; move "
                      "it away and run again\n",
                  run.errorOutput);
        EXPECT_EQ(before, support::Entries(drive + "/Win")) << kind;
    }
}

} // namespace

// WIN95REPORT has a run tell on standard output what it changed, as the
// golden text gives it, alike on a REGEDIT4 image and on SYSTEM.DAT;
// WIN95DRYRUN tells the same and changes nothing.
TEST(Report, TellsWhatARunChangesAndADryRunChangesNothing)
{
    const std::string golden = Fixture("golden/report-install.txt");
    const std::vector<std::string> install{"/D1", "/P\"LPT1:\""};
    const std::string machine = support::MachineWithImage(Fixture("default.reg"));
    support::RunResult run =
        support::RunProgram(support::Program("prnsetup"), install, machine, {"WIN95REPORT=1"});
    EXPECT_EQ(golden, run.output);
    EXPECT_EQ("", run.errorOutput);

    const std::string drive = support::InstallationWithImage(Fixture("default.reg"), "WINDOWS");
    const std::string systemDat = ReadFile(drive + "/WINDOWS/SYSTEM.DAT");
    run = support::RunProgram(support::Program("prnsetup"), install, drive, {"WIN95DRYRUN=1"});
    EXPECT_EQ(golden, run.output);
    EXPECT_EQ("prnsetup: a dry run (WIN95DRYRUN): the machine was left as it was\n",
              run.errorOutput);
    EXPECT_EQ(systemDat, ReadFile(drive + "/WINDOWS/SYSTEM.DAT"));
    EXPECT_TRUE(support::Entries(drive + "/WINDOWS/INF").empty());
    run = support::RunProgram(support::Program("prnsetup"), install, drive, {"WIN95REPORT=1"});
    EXPECT_EQ(golden, run.output);
    const std::string before = support::TempDir() + "/SYSTEM.DAT";
    support::WriteFile(before, systemDat);
    support::ExpectImageChange(support::InstallationText(before),
                               support::InstallationText(drive + "/WINDOWS/SYSTEM.DAT"),
                               Fixture("golden/install-d1-lpt1.reg"));
}
