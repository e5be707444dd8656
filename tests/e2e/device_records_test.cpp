// The shell extension and port device records, each on a machine that has
// only the keys the case is about: the print-system steps find no parents
// there and write nothing, so the golden fragment is the whole change.
#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{
struct RecordCase
{
    const char* name; // <name>.reg is the image before the run
    bool writes;      // golden/<name>.reg is the change; else nothing changes
};

const RecordCase recordCases[] = {
    {"port-second-instance", true},    // LPT2 first, LPT1 second: the second's name
    {"port-root-only", true},          // only ENUM\ROOT has LPT1
    {"port-bios-before-root", true},   // both trees have LPT1: BIOS wins
    {"port-unterminated", true},       // LPT1 as four raw bytes after a longer name
    {"port-value-lengths", true},      // 256 bytes never match, 255 do
    {"port-long-names", true},         // a 100-character name ends its tree; 99 fit
    {"port-no-match", false},          // LPT1:, lpt1, LPT1 with a space, other names
    {"port-no-lptenum", false},        // LPT1 found, but no Enum\LPTENUM
    {"shell-no-handler-parent", true}, // the class without the handlers key
    {"shell-no-clsid", true},          // the handler without CLSID
};

class DeviceRecords : public testing::TestWithParam<RecordCase>
{
};

TEST_P(DeviceRecords, ChangeTheImageExactlyAsTheGoldenFragment)
{
    const RecordCase& record = GetParam();
    std::string before = support::Fixture(std::string(record.name) + ".reg");
    std::string machine = support::MachineWithImage(before);

    support::RunResult run =
        support::RunProgram(support::Program("prnsetup"), {"/P\"LPT1:\""}, machine);

    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ("", run.errorOutput);
    if (record.writes)
        support::ExpectImageChange(before, support::ImageOf(machine),
                                   support::Fixture("golden/" + std::string(record.name) + ".reg"));
    else
        EXPECT_EQ(before, support::ImageOf(machine));
}

INSTANTIATE_TEST_SUITE_P(Machines, DeviceRecords, testing::ValuesIn(recordCases),
                         [](const testing::TestParamInfo<RecordCase>& info)
                         {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });
} // namespace
