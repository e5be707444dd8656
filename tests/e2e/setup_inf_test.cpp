// Placing WIN95.INF as the first free OEM<n>.INF of C:\WINDOWS\INF. Cases
// that need their own source run a copy of the built installer from a
// folder of their own, since the installer reads WIN95.INF beside itself.
#include "support/machines.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace
{
using support::Entries;
using support::InfDir;

const char* const installArguments[] = {"/D1", "/P\"LPT1:\""};

std::string SampleInf()
{
    return support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF");
}

// The installer, copied into a new folder; beside it WIN95.INF with these
// bytes, unless `withInf` is false.
std::string InstallerWith(const std::string& inf, bool withInf = true)
{
    std::string dir = support::TempDir();
    fs::copy_file(support::Program("prnsetup"), dir + "/prnsetup");
    fs::permissions(dir + "/prnsetup", fs::perms::owner_all);
    if (withInf)
        support::WriteFile(dir + "/WIN95.INF", inf);
    return dir + "/prnsetup";
}

support::RunResult Install(const std::string& program, const std::string& machine,
                           const std::vector<std::string>& extraEnv = {})
{
    return support::RunProgram(program, {std::begin(installArguments), std::end(installArguments)},
                               machine, extraEnv);
}

struct NameCase
{
    const char* name;
    std::vector<std::string> files; // present before the run
    std::vector<std::string> dirs;  // present before the run
    const char* chosen;             // null when every name is taken
};

// OEM<first>.INF to OEM<last>.INF.
std::vector<std::string> Numbered(int first, int last)
{
    std::vector<std::string> names;
    for (int number = first; number <= last; ++number)
        names.push_back("OEM" + std::to_string(number) + ".INF");
    return names;
}

const NameCase nameCases[] = {
    {"Empty", {}, {}, "OEM0.INF"},
    {"Gap", {"OEM0.INF", "OEM1.INF", "OEM3.INF"}, {}, "OEM2.INF"},
    {"OtherLetterCase", {"oem0.inf", "Oem1.Inf"}, {}, "OEM2.INF"},
    {"Directory", {}, {"OEM0.INF"}, "OEM1.INF"},
    {"SimilarNames", {"OEM00.INF", "OEM0.INF.BAK", "OEM0.PNF", "XOEM0.INF"}, {}, "OEM0.INF"},
    {"LastName", Numbered(0, 997), {}, "OEM998.INF"},
    {"AllTaken", Numbered(0, 998), {}, nullptr},
};

class FreeName : public testing::TestWithParam<NameCase>
{
};

TEST_P(FreeName, IsTakenAndNothingElseChanges)
{
    const NameCase& given = GetParam();
    std::string machine = support::MachineWithImage(support::Fixture("default.reg"));
    std::map<std::string, std::string> expected;
    for (const std::string& file : given.files)
    {
        support::WriteFile(InfDir(machine) + "/" + file, "old " + file + "\r\n");
        expected[file] = "old " + file + "\r\n";
    }
    for (const std::string& dir : given.dirs)
    {
        fs::create_directory(InfDir(machine) + "/" + dir);
        expected[dir] = "<dir>";
    }
    if (given.chosen != nullptr)
        expected[given.chosen] = SampleInf();

    EXPECT_EQ(0, Install(support::Program("prnsetup"), machine).exitStatus);

    EXPECT_EQ(expected, Entries(InfDir(machine)));
}

INSTANTIATE_TEST_SUITE_P(Names, FreeName, testing::ValuesIn(nameCases),
                         [](const testing::TestParamInfo<NameCase>& info)
                         { return std::string(info.param.name); });

struct CopyCase
{
    const char* name;
    std::string source;
    std::string copy;
};

const std::string longLine(600, 'k');

const CopyCase copyCases[] = {
    {"CrLfKept", "[Version]\r\nClass=Printer\r\n", "[Version]\r\nClass=Printer\r\n"},
    {"BareLineFeeds", "[Version]\nClass=Printer\n\n", "[Version]\r\nClass=Printer\r\n\r\n"},
    {"LoneCrKept", "a\rb\r\nc\r", "a\rb\r\nc\r"},
    {"CtrlZEnds",
     "a\r\nb\x1a"
     "c\r\nd\r\n",
     "a\r\nb"},
    {"CtrlZAtLineStart", "a\r\n\x1a\r\n", "a\r\n"},
    {"LastLineWithoutLineFeed", "a\nlast", "a\r\nlast"},
    {"LongLineWhole", longLine + "\r\n" + longLine, longLine + "\r\n" + longLine},
    {"LongBareLine", longLine + "\n", longLine + "\r\n"},
    {"ZeroByteEndsItsPiece", std::string("ab\0cd\r\nef\r\n", 11), "abef\r\n"},
    {"Empty", "", ""},
};

class Copy : public testing::TestWithParam<CopyCase>
{
};

TEST_P(Copy, TranslatesTextMode)
{
    const CopyCase& given = GetParam();
    std::string machine = support::MachineWithImage(support::Fixture("default.reg"));

    EXPECT_EQ(0, Install(InstallerWith(given.source), machine).exitStatus);

    std::map<std::string, std::string> expected{{"OEM0.INF", given.copy}};
    EXPECT_EQ(expected, Entries(InfDir(machine)));
}

INSTANTIATE_TEST_SUITE_P(Sources, Copy, testing::ValuesIn(copyCases),
                         [](const testing::TestParamInfo<CopyCase>& info)
                         { return std::string(info.param.name); });

TEST(PlaceSetupInf, CreatesNothingWithoutSource)
{
    std::string machine = support::MachineWithImage(support::Fixture("default.reg"));

    EXPECT_EQ(0, Install(InstallerWith("", false), machine).exitStatus);

    EXPECT_TRUE(Entries(InfDir(machine)).empty());
}

TEST(PlaceSetupInf, CreatesNothingWithoutInfDirectoryAndStillWritesEveryRecord)
{
    std::string before = support::Fixture("default.reg");
    std::string machine = support::MachineWithImage(before);
    fs::remove(InfDir(machine));

    EXPECT_EQ(0, Install(support::Program("prnsetup"), machine).exitStatus);

    EXPECT_FALSE(support::FileExists(InfDir(machine)));
    std::set<std::string> windows;
    for (const auto& [name, bytes] : Entries(machine + "/drive_c/WINDOWS"))
        windows.insert(name);
    EXPECT_EQ(std::set<std::string>{"SYSTEM"}, windows);
    support::ExpectImageChange(before, support::ImageOf(machine),
                               support::Fixture("golden/install-d1-lpt1.reg"));
}

TEST(PlaceSetupInf, TwoRunsPlaceTwoCopies)
{
    std::string machine = support::FreshMachine();
    EXPECT_EQ(0, Install(support::Program("prnsetup"), machine).exitStatus);
    EXPECT_EQ(0, Install(support::Program("prnsetup"), machine).exitStatus);

    std::map<std::string, std::string> expected{{"OEM0.INF", SampleInf()},
                                                {"OEM1.INF", SampleInf()}};
    EXPECT_EQ(expected, Entries(InfDir(machine)));
}

// A source of several buffers' worth, so that a fault can strike the copy
// in the middle as well as at its ends.
std::string LongSource()
{
    std::string source;
    for (int line = 0; line < 300; ++line)
        source += "TVSND" + std::to_string(line) + ".WAV=2 ; a line of the sample source\r\n";
    return source;
}

class FaultDuringCopy : public testing::TestWithParam<const char*>
{
};

// Whichever call of the kind fails, the INF directory holds either the
// whole copy or nothing: never a truncated OEM0.INF, never a copy beside
// an image that was not saved. Some call must strike the copy itself, and
// the registry records are still written then.
TEST_P(FaultDuringCopy, LeavesNoPartialCopy)
{
    std::string source = LongSource();
    std::string program = InstallerWith(source);
    std::string before = support::Fixture("default.reg");
    int copiesRemoved = 0;
    for (int at = 1; at <= 16; ++at)
    {
        SCOPED_TRACE(std::string(GetParam()) + ":" + std::to_string(at) + ":fail");
        std::string machine = support::MachineWithImage(before);

        support::RunResult run = Install(
            program, machine,
            {"WIN95_FAULT=" + std::string(GetParam()) + ":" + std::to_string(at) + ":fail"});

        EXPECT_EQ(0, run.exitStatus);
        std::map<std::string, std::string> entries = Entries(InfDir(machine));
        if (!entries.empty())
        {
            std::map<std::string, std::string> whole{{"OEM0.INF", source}};
            EXPECT_EQ(whole, entries);
            continue;
        }
        // A fault in the save of the image takes the copy with it.
        if (support::ImageOf(machine) == before)
            continue;
        ++copiesRemoved;
        support::ExpectImageChange(before, support::ImageOf(machine),
                                   support::Fixture("golden/install-d1-lpt1.reg"));
    }
    EXPECT_GT(copiesRemoved, 0);
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultDuringCopy, testing::Values("read", "write", "close"),
                         [](const testing::TestParamInfo<const char*>& info)
                         { return std::string(info.param); });
} // namespace

namespace
{
// A program path that does not fit its 260-byte buffer is a failed look-up:
// no directories, so no setup file, and the records are still written. Every
// folder on the way holds a WIN95.INF, so a path cut short would find one.
TEST(PlaceSetupInf, ProgramPathLongerThanItsBufferPlacesNothing)
{
    std::string dir = support::TempDir();
    while (dir.size() < 300)
    {
        dir += "/a-folder-with-a-long-name";
        fs::create_directories(dir);
        support::WriteFile(dir + "/WIN95.INF", SampleInf());
    }
    fs::copy_file(support::Program("prnsetup"), dir + "/prnsetup");
    std::string machine = support::FreshMachine();

    support::RunResult result = Install(dir + "/prnsetup", machine);
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ("", result.errorOutput);
    EXPECT_TRUE(Entries(InfDir(machine)).empty());
    EXPECT_NE(std::string::npos, support::ImageOf(machine).find("\\Printers\\Tavrine]"));
}
} // namespace
