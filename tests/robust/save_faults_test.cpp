// A run that is killed at any system call, or sees any system call fail,
// leaves the image exactly as it was or exactly as the run meant to leave
// it; a killed run's temporary image is removed by the next run.
#include "processes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sys/stat.h>

namespace
{

using support::FileExists;
using support::Fixture;
using support::Program;
using support::RunProgram;

struct Scenario
{
    const char* name;
    const char* program;
    std::vector<std::string> arguments;
    const char* fixture; // the machine's image; null for a machine that does not exist yet
    bool installation;   // the machine is a Windows 9x C: drive made from the image
};

const Scenario scenarios[] = {
    {"InstallOnDefaultMachine", "prnsetup", {"/D1", "/P\"LPT1:\""}, "default.reg", false},
    {"InstallOverExistingPrinter",
     "prnsetup",
     {"/D0", "/P\"COM1:\""},
     "existing-printer.reg",
     false},
    {"InstallOnNewMachine", "prnsetup", {"/D1", "/P\"LPT1:\""}, nullptr, false},
    {"RemoveOneOfThreePrinters", "prnpurge", {"/D\"TVDRV\""}, "prnpurge/three_printers.reg", false},
    {"RemoveOneOfNinePrinters", "prnpurge", {"/D\"CEDAR\""}, "many-printers.reg", false},
    {"InstallOnInstallation", "prnsetup", {"/D1", "/P\"LPT1:\""}, "default.reg", true},
    {"RemoveOnInstallation", "prnpurge", {"/D\"TVDRV\""}, "prnpurge/three_printers.reg", true},
};

void PrintTo(const Scenario& scenario, std::ostream* out)
{
    *out << scenario.name;
}

std::string NewMachine(const Scenario& scenario)
{
    if (scenario.installation)
        return support::InstallationWithImage(Fixture(scenario.fixture));
    return scenario.fixture != nullptr ? support::MachineWithImage(Fixture(scenario.fixture))
                                       : support::FreshMachine();
}

// The registry file (registry.reg, or an installation's SYSTEM.DAT), and
// the temporary file a save leaves while it runs.
std::string RegistryFile(const std::string& machine)
{
    return FileExists(machine + "/WIN98") ? machine + "/WIN98/SYSTEM.DAT"
                                          : machine + "/registry.reg";
}

std::string TemporaryFile(const std::string& machine)
{
    return FileExists(machine + "/WIN98") ? machine + "/WIN98/SYSTEM.TVN"
                                          : machine + "/registry.reg.new";
}

// The image, or "(none)" when the machine has none. On an installation,
// the backup of SYSTEM.DAT is, when there is one, the registry before the run.
std::string ImageState(const std::string& machine, const std::string& before = "")
{
    std::string path = RegistryFile(machine);
    std::string backup = machine + "/WIN98/SYSTEM.TVB";
    if (FileExists(backup))
    {
        EXPECT_EQ(before, support::ReadFile(backup)) << machine << ": damaged backup";
    }
    return FileExists(path) ? support::ReadFile(path) : "(none)";
}

class SaveFaults : public testing::TestWithParam<Scenario>
{
};

TEST_P(SaveFaults, EveryCallKilledOrFailedLeavesTheOldOrTheNewImage)
{
    const Scenario& scenario = GetParam();
    std::string program = Program(scenario.program);

    std::string reference = NewMachine(scenario);
    std::string before = ImageState(reference);
    ASSERT_EQ(0, RunProgram(program, scenario.arguments, reference).exitStatus);
    std::string after = ImageState(reference, before);
    ASSERT_NE(before, after) << "the run must change the image";

    // A new machine may also be left as the default machine, created but
    // not yet changed by the run.
    std::vector<std::string> allowed = {before, after};
    if (scenario.fixture == nullptr)
        allowed.push_back(Fixture("default.reg"));

    std::vector<std::string> calls =
        robust::TraceCalls(program, scenario.arguments, NewMachine(scenario));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(after, ImageState(reference, before));

    std::map<std::string, int> outcomes;
    for (std::size_t at = 1; at <= calls.size(); ++at)
        for (const char* mode : {"crash", "fail"})
        {
            std::string fault = "any:" + std::to_string(at) + ":" + mode;
            std::string what = fault + " (" + calls[at - 1] + ")";
            std::string machine = NewMachine(scenario);
            support::RunResult result =
                RunProgram(program, scenario.arguments, machine, {"WIN95_FAULT=" + fault});
            std::string state = ImageState(machine, before);

            if (std::string(mode) == "crash")
                EXPECT_EQ(-1, result.exitStatus) << what << ": the fault did not fire";
            else
            {
                EXPECT_EQ(0, result.exitStatus) << what;
                EXPECT_LE(robust::MachineReports(result.errorOutput, machine).size(), 1u)
                    << what << ": " << result.errorOutput;
                EXPECT_FALSE(FileExists(TemporaryFile(machine))) << what;
            }
            auto found = std::find(allowed.begin(), allowed.end(), state);
            EXPECT_NE(allowed.end(), found) << what << ": image is neither old nor new";
            ++outcomes[std::string(mode) + (state == after ? " new" : " old")];

            support::RunResult again = RunProgram(program, scenario.arguments, machine);
            EXPECT_EQ(0, again.exitStatus) << what;
            EXPECT_EQ(0u, robust::MachineReports(again.errorOutput, machine).size())
                << what << ": " << again.errorOutput;
            EXPECT_EQ(after, ImageState(machine, before))
                << what << ": the next run did not complete it";
            EXPECT_FALSE(FileExists(TemporaryFile(machine))) << what;
        }

    std::string summary = std::to_string(calls.size()) + " calls:";
    for (const std::string& call : calls)
        summary += " " + call;
    for (const auto& [outcome, count] : outcomes)
        summary += "; " + outcome + " " + std::to_string(count);
    RecordProperty("calls", summary);
    std::printf("%s: %s\n", scenario.name, summary.c_str());
}

// A private image stays private, and a shared one shared: the new image
// gets exactly the old one's permissions, whatever the umask.
TEST(Save, KeepsThePermissionsOfTheImage)
{
    for (mode_t mask : {022, 077})
        for (mode_t mode : {0600, 0640, 0644})
        {
            umask(mask);
            std::string machine = support::MachineWithImage(Fixture("default.reg"));
            std::string image = machine + "/registry.reg";
            ASSERT_EQ(0, chmod(image.c_str(), mode));
            ASSERT_EQ(0, RunProgram(Program("prnsetup"), {"/D1"}, machine).exitStatus);
            struct stat info;
            ASSERT_EQ(0, stat(image.c_str(), &info));
            EXPECT_NE(Fixture("default.reg"), support::ImageOf(machine));
            EXPECT_EQ(mode, info.st_mode & 07777) << std::oct << mode << " under umask " << mask;
        }
    umask(022);
}

// A key of about `megabytes` MB of values, for images large enough that
// their save starts writing back to the disk while it writes.
std::string PaddingKey(const std::string& name, int megabytes)
{
    std::string key = "[HKEY_LOCAL_MACHINE\\" + name + "]\r\n";
    std::string text(1000, 'x');
    for (int value = 0; value < megabytes * 1000; ++value)
        key += "\"v" + std::to_string(value) + "\"=\"" + text + "\"\r\n";
    return key + "\r\n";
}

// A large image is saved byte for byte as a small one, around the parts
// the run does not touch; write-back that fails changes nothing, and a
// run killed there leaves the old image for the next run to replace.
TEST(Save, LargeImageWriteBackNeitherChangesNorFailsTheSave)
{
    const std::string header = "REGEDIT4\r\n\r\n";
    std::string small = support::MachineWithImage(Fixture("default.reg"));
    ASSERT_EQ(0, RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, small).exitStatus);
    std::string smallAfter = support::ImageOf(small);
    ASSERT_EQ(header, smallAfter.substr(0, header.size()));

    std::string before = header + PaddingKey("Aaa", 9) +
                         Fixture("default.reg").substr(header.size()) + PaddingKey("Zzz", 9);
    std::string after =
        header + PaddingKey("Aaa", 9) + smallAfter.substr(header.size()) + PaddingKey("Zzz", 9);

    std::string traced = support::MachineWithImage(before);
    std::vector<std::string> calls =
        robust::TraceCalls(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, traced);
    EXPECT_EQ(after, support::ImageOf(traced));
    EXPECT_LE(2, std::count(calls.begin(), calls.end(), "sync"));

    std::string failed = support::MachineWithImage(before);
    support::RunResult result = RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, failed,
                                           {"WIN95_FAULT=sync:1:fail"});
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ(0u, robust::MachineReports(result.errorOutput, failed).size()) << result.errorOutput;
    EXPECT_EQ(after, support::ImageOf(failed));

    std::string killed = support::MachineWithImage(before);
    EXPECT_EQ(-1, RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, killed,
                             {"WIN95_FAULT=sync:2:crash"})
                      .exitStatus);
    EXPECT_EQ(before, support::ImageOf(killed));
    EXPECT_EQ(0, RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, killed).exitStatus);
    EXPECT_EQ(after, support::ImageOf(killed));
    EXPECT_FALSE(FileExists(TemporaryFile(killed)));
}

INSTANTIATE_TEST_SUITE_P(Runs, SaveFaults, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<Scenario>& info)
                         { return std::string(info.param.name); });

} // namespace
