#include "prnsetup/prnsetup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

struct SwitchCase
{
    std::string commandLine;
    bool beginsWithSwitch;
    int makeDefault;
    std::string port;
};

void PrintTo(const SwitchCase& c, std::ostream* out)
{
    *out << "command line [" << c.commandLine << "]";
}

class InstallSwitches : public testing::TestWithParam<SwitchCase>
{
};

TEST_P(InstallSwitches, FillSettings)
{
    const SwitchCase& c = GetParam();
    makeDefault = 0;
    std::memset(portName, 0, sizeof portName);
    EXPECT_EQ(c.beginsWithSwitch, ScanInstallSwitches(c.commandLine.c_str()) != FALSE);
    EXPECT_EQ(c.makeDefault, makeDefault);
    EXPECT_EQ(c.port, std::string(portName));
}

const std::string longPort(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, InstallSwitches,
    testing::Values(SwitchCase{"/D1 /P\"LPT1:\"", true, 1, "LPT1:"},
                    SwitchCase{"/d1/p\"COM1:\"", true, 1, "COM1:"},
                    SwitchCase{"/P\"LPT2:\"/D0", true, 0, "LPT2:"},
                    SwitchCase{"   /D1", true, 1, ""}, SwitchCase{"/D1 /D0", true, 0, ""},
                    SwitchCase{"/D", true, 0, ""},
                    SwitchCase{"/P\"" + longPort + "\"", true, 0, longPort.substr(0, 255)},
                    SwitchCase{"/P\"LPT1: /D1", true, 0, ""},
                    SwitchCase{"/PxLPT1:\"", true, 0, "LPT1:"}, SwitchCase{"/P", true, 0, ""},
                    SwitchCase{"//D1", true, 1, ""}, SwitchCase{"/D\"1\" /P\"LPT1:\"", true, 0, ""},
                    SwitchCase{"/X /D1", true, 0, ""}, SwitchCase{"/Q", true, 0, ""},
                    SwitchCase{"/", true, 0, ""}, SwitchCase{"/D1 junk /P\"LPT1:\"", true, 1, ""},
                    SwitchCase{"", false, 0, ""}, SwitchCase{"D1", false, 0, ""},
                    SwitchCase{"\t/D1", false, 0, ""}));

TEST(InstallSwitches, ShorterPortKeepsTheRestOfTheLongerOne)
{
    std::memset(portName, 0, sizeof portName);
    ScanInstallSwitches("/P\"LPT1:LONGER\" /P\"AB\"");
    const char expected[] = "AB\0"
                            "1:LONGER";
    EXPECT_EQ(0, std::memcmp(expected, portName, sizeof expected));
    EXPECT_EQ(0, portName[sizeof expected]);
}

TEST(Directories, ProgramDirectoryEndsWithSeparatorAndInfIsUnderWindows)
{
    FindDirectories(nullptr);
    std::string program = programDir;
    ASSERT_GE(program.size(), 4u);
    EXPECT_EQ("Z:\\", program.substr(0, 3));
    EXPECT_EQ('\\', program.back());
    EXPECT_EQ(std::string::npos, program.find('/'));
    EXPECT_STREQ("C:\\WINDOWS\\INF", infDir);
}

} // namespace
