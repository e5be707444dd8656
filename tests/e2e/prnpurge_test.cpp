// The remover run as a process on throw-away machines: its whole trace, and
// the change it makes to the registry image.
#include "platform/posix/api/spooler.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const std::string printersKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers";
const std::string driversKey =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
    "4.0\\Drivers";

// The trace reports bytes needed: the records, then the bytes of their texts.
const std::size_t printerRecord = sizeof(PRINTER_INFO_2A);
const std::size_t driverRecord = sizeof(DRIVER_INFO_2A);

// Text bytes of the printers of the fixtures (name, port, driver, print
// processor, datatype, each with its zero byte).
const std::size_t frontDeskTexts = 11 + 6 + 20 + 9 + 4;
const std::size_t tavrineTexts = 8 + 6 + 8 + 9 + 4;
const std::size_t officeLaserTexts = 13 + 6 + 13 + 9 + 4;

// Text bytes of driver information: name, "Windows 4.0", and three paths
// C:\WINDOWS\SYSTEM\<file>.
const std::size_t genericDriverTexts = 20 + 12 + 3 * 26; // TTY.DRV
const std::size_t tavrineDriverTexts = 8 + 12 + 3 * 28;  // TVDRV.DRV
const std::size_t laserDriverTexts = 13 + 12 + 3 * 31;   // OFFLASER.DRV
const std::size_t cafeDriverTexts = 5 + 12 + 3 * 27;     // CAF\xC9.DRV
const std::size_t longDriverTexts = 5 + 12 + 3 * 61;     // a 42-character file name

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size())
    {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

// The lines of one printer whose driver information was read.
std::vector<std::string> Read(std::size_t driverTexts)
{
    return {"ENUM A P\n", "OPENPR OK\n",
            "GETPRINTER 1 NEEDED " + std::to_string(driverRecord + driverTexts) + "\n",
            "GETPRDR OK\n"};
}

const std::vector<std::string> withoutDriver = {"ENUM A P\n", "OPENPR OK\n",
                                                "GETPRINTER 0 NEEDED 0\n"};

std::vector<std::string> Trace(std::size_t printers, std::size_t printerTexts,
                               const std::vector<std::vector<std::string>>& each)
{
    std::vector<std::string> lines = {
        "BEF ENUMP\n", "num p " + std::to_string(printers) + " NEEDED " +
                           std::to_string(printers * printerRecord + printerTexts) + "\n"};
    for (const std::vector<std::string>& printer : each)
        lines.insert(lines.end(), printer.begin(), printer.end());
    return lines;
}

std::string Removed(const std::vector<std::string>& printers)
{
    std::string fragment;
    for (const std::string& printer : printers)
        fragment += "[-" + printersKey + "\\" + printer + "]\r\n";
    return fragment;
}

// Every sweep of sweep.reg reads the same: the Orphan's driver record is missing.
std::vector<std::string> SweepTrace()
{
    const std::size_t cafeTexts = 5 + 6 + 5 + 9 + 4;
    const std::size_t longNameTexts = 10 + 6 + 5 + 9 + 4;
    const std::size_t orphanTexts = 7 + 6 + 15 + 9 + 4;
    const std::size_t printerTexts =
        frontDeskTexts + tavrineTexts + cafeTexts + longNameTexts + orphanTexts;
    return Trace(5, printerTexts,
                 {Read(genericDriverTexts), Read(tavrineDriverTexts), Read(cafeDriverTexts),
                  Read(longDriverTexts), withoutDriver});
}

support::RunResult Purge(const std::vector<std::string>& arguments, const std::string& machine)
{
    return support::RunProgram(support::Program("prnpurge"), arguments, machine);
}

TEST(Prnpurge, RemovesOnlyTheMatchingOneOfThreePrinters)
{
    std::string machine =
        support::MachineWithImage(support::Fixture("prnpurge/three_printers.reg"));
    std::string before = support::ImageOf(machine);

    support::RunResult run = Purge({"/D\"TVDRV\""}, machine);

    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(Trace(3, frontDeskTexts + tavrineTexts + officeLaserTexts,
                    {Read(genericDriverTexts), Read(tavrineDriverTexts), Read(laserDriverTexts)}),
              Lines(run.errorOutput));
    support::ExpectImageChange(before, support::ImageOf(machine), Removed({"Tavrine"}));
}

TEST(Prnpurge, MatchesTheNameAnywhereInTheDriverPath)
{
    struct Case
    {
        std::vector<std::string> arguments;
        std::vector<std::string> removed;
    };
    const Case cases[] = {
        {{"/D\"tvdrv\""}, {"Tavrine"}},
        {{"/D\"TTY.DRV\""}, {"Front Desk"}},
        {{"/D\"caf\xC9\""}, {"Cafe"}},
        {{"/D\"CAF\xE9\""}, {}},
        // Cut to 38 characters, the name matches the 42-character file name.
        {{"/D\"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789AB-TWELVE-MORE\""}, {"Long Name"}},
        // Driver and printer names are not part of the path.
        {{"/D\"Generic\""}, {}},
        {{"/D\"Missing\""}, {}},
        {{"/D\"Orphan\""}, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.arguments[0]);
        std::string machine = support::MachineWithImage(support::Fixture("prnpurge/sweep.reg"));
        std::string before = support::ImageOf(machine);

        support::RunResult run = Purge(c.arguments, machine);

        EXPECT_EQ(0, run.exitStatus);
        EXPECT_EQ(SweepTrace(), Lines(run.errorOutput));
        if (c.removed.empty())
            EXPECT_EQ(before, support::ImageOf(machine));
        else
            support::ExpectImageChange(before, support::ImageOf(machine), Removed(c.removed));
    }
}

TEST(Prnpurge, MatchesTheDirectoryPartAndKeepsAPrinterWithoutDriverRecord)
{
    std::string machine = support::MachineWithImage(support::Fixture("prnpurge/sweep.reg"));
    std::string before = support::ImageOf(machine);

    support::RunResult run = Purge({"/D\"SYSTEM\""}, machine);

    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(SweepTrace(), Lines(run.errorOutput));
    support::ExpectImageChange(before, support::ImageOf(machine),
                               Removed({"Front Desk", "Tavrine", "Cafe", "Long Name"}));
}

// An unterminated name also gets the Linux line that says how to type it.
TEST(Prnpurge, WithoutANameWritesOneLineAndLeavesTheMachineAlone)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"/X", "/D\"TVDRV\""}, ""},
        {{"/D\"\""}, ""},
        {{}, ""},
        {{"/D\"TVDRV"},
         "prnpurge: the driver name is empty: /D\"TVDRV has no closing quote; type it as "
         "'/D\"TVDRV\"'\n"},
        {{"TVDRV"}, ""},
        {{"/P\"TVDRV\""}, ""},
    };
    for (const auto& [arguments, linuxLine] : cases)
    {
        SCOPED_TRACE(arguments.empty() ? "(no arguments)" : arguments[0]);
        std::string machine =
            support::MachineWithImage(support::Fixture("prnpurge/three_printers.reg"));
        std::string before = support::ImageOf(machine);

        support::RunResult run = Purge(arguments, machine);

        EXPECT_EQ(0, run.exitStatus);
        EXPECT_EQ("NO DRVNAME\n" + linuxLine, run.errorOutput);
        EXPECT_EQ(before, support::ImageOf(machine));
    }
}

TEST(Prnpurge, SweepsMoreThanTheListBufferHolds)
{
    std::string image = support::Fixture("prnpurge/three_printers.reg");
    std::size_t ours = image.find("[" + printersKey + "\\Tavrine]");
    ASSERT_NE(std::string::npos, ours);
    std::string many;
    std::size_t manyTexts = 0;
    std::vector<std::vector<std::string>> each = {Read(genericDriverTexts)};
    for (int i = 0; i < 400; ++i)
    {
        char name[100];
        std::snprintf(name, sizeof name,
                      "Shared printer %03d in the east wing, third floor, beside the copier room",
                      i);
        many += "[" + printersKey + "\\" + name +
                "]\r\n\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Generic / Text Only\"\r\n\r\n";
        manyTexts += std::strlen(name) + 1 + 6 + 20;
        each.push_back(Read(genericDriverTexts));
    }
    image.insert(ours, many);
    each.push_back(Read(tavrineDriverTexts));
    each.push_back(Read(laserDriverTexts));
    std::size_t printerTexts = frontDeskTexts + manyTexts + tavrineTexts + officeLaserTexts;
    ASSERT_GT(403 * printerRecord + printerTexts, 50000u);
    std::string machine = support::MachineWithImage(image);

    support::RunResult run = Purge({"/D\"TVDRV\""}, machine);

    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(Trace(403, printerTexts, each), Lines(run.errorOutput));
    support::ExpectImageChange(image, support::ImageOf(machine), Removed({"Tavrine"}));
}

TEST(Prnpurge, ReadsDriverInformationLargerThanItsBuffer)
{
    std::string image = support::Fixture("prnpurge/three_printers.reg");
    std::string dataFile = std::string(246, 'D') + ".DAT";
    std::string configFile = std::string(246, 'C') + ".DLL";
    for (auto [value, file] :
         {std::pair{"Data File", dataFile}, std::pair{"Configuration File", configFile}})
    {
        std::string old = "\"" + std::string(value) + "\"=\"TVDRV.DRV\"";
        std::size_t at = image.find(old);
        ASSERT_NE(std::string::npos, at);
        image.replace(at, old.size(), "\"" + std::string(value) + "\"=\"" + file + "\"");
    }
    const std::size_t driverTexts = 8 + 12 + 28 + 2 * (18 + 250 + 1);
    ASSERT_GT(driverRecord + driverTexts, 500u);
    std::string machine = support::MachineWithImage(image);

    support::RunResult run = Purge({"/D\"TVDRV\""}, machine);

    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(Trace(3, frontDeskTexts + tavrineTexts + officeLaserTexts,
                    {Read(genericDriverTexts), Read(driverTexts), Read(laserDriverTexts)}),
              Lines(run.errorOutput));
    support::ExpectImageChange(image, support::ImageOf(machine), Removed({"Tavrine"}));
}

TEST(Prnpurge, RemovesThePrinterTheInstallerAddedAndKeepsItsDriver)
{
    std::string machine = support::FreshMachine();
    ASSERT_EQ(0, support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine)
                     .exitStatus);
    std::string before = support::ImageOf(machine);
    ASSERT_NE(std::string::npos, before.find("[" + printersKey + "\\Tavrine]"));

    support::RunResult run = Purge({"/D\"TVDRV\""}, machine);

    // The default machine's printer, then ours: name, share name, port,
    // driver, comment, location, separator file, processor, datatype, parameters.
    const std::size_t genericTexts = 20 + 1 + 6 + 20 + 1 + 1 + 1 + 9 + 4 + 1;
    const std::size_t installedTexts = 8 + 1 + 6 + 8 + 1 + 1 + 1 + 23 + 10 + 1;
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(Trace(2, genericTexts + installedTexts,
                    {Read(genericDriverTexts), Read(tavrineDriverTexts)}),
              Lines(run.errorOutput));
    std::string after = support::ImageOf(machine);
    support::ExpectImageChange(before, after, Removed({"Tavrine"}));
    EXPECT_NE(std::string::npos, after.find("[" + driversKey + "\\Tavrine]"));
}

} // namespace
