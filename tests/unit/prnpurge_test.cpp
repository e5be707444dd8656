#include "prnpurge/prnpurge.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

struct ScanCase
{
    const char* commandLine;
    const char* driverName;
};

const ScanCase scanCases[] = {
    {"/D\"TVDRV\"", "TVDRV"},
    {"/d\"tvdrv\"", "tvdrv"},
    {"   /D\"TVDRV\"", "TVDRV"},
    {"//D\"TVDRV\"", "TVDRV"},
    {"/D\"TV DRV\"", "TV DRV"},
    // The character after the letter is skipped whatever it is.
    {"/D'TVDRV\"", "TVDRV"},
    {"/D\"OLD\" /D\"NEW\"", "NEW"},
    {"/D\"OLD\"/D\"NEW\"", "NEW"},
    {"/D\"OLD\" /D\"NEW", ""},
    {"/D\"TVDRV\" /X /D\"OTHER\"", "TVDRV"},
    {"/D\"TVDRV\" OTHER", "TVDRV"},
    {"/X /D\"TVDRV\"", ""},
    {"/D\"\"", ""},
    {"/D\"TVDRV", ""},
    {"TVDRV", ""},
    {"", ""},
    {"/D\"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789AB-TWELVE-MORE\"",
     "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789AB"},
};

TEST(ScanRemoveSwitches, ReadsTheDriverName)
{
    for (const ScanCase& c : scanCases)
    {
        // Bytes behind the first show a value left without its zero byte.
        std::memset(driverName, 'x', sizeof driverName - 1);
        driverName[sizeof driverName - 1] = '\0';
        driverName[0] = '\0';
        ScanRemoveSwitches(c.commandLine);
        EXPECT_STREQ(c.driverName, driverName) << "command line: " << c.commandLine;
    }
}

struct PrefixCase
{
    const char* prefix;
    const char* text;
    BOOL expected;
};

const PrefixCase prefixCases[] = {
    {"", "", TRUE},
    {"", "TVDRV", TRUE},
    {"TVDRV", "TVDRV", TRUE},
    {"tvdrv", "TVDRV.DRV", TRUE},
    {"TvDrV.dRv", "tVdRv.DrV", TRUE},
    {"TVDRV", "TVDR", FALSE},
    {"TVDRV", "", FALSE},
    {"TVDRW", "TVDRV", FALSE},
    // Only a..z fold: the neighbours of the letter ranges stay apart.
    {"@", "`", FALSE},
    {"[", "{", FALSE},
    {"^", "~", FALSE},
    {"\xC9", "\xE9", FALSE},
    {"caf\xC9", "CAF\xC9", TRUE},
};

TEST(StartsWithIgnoringCase, FoldsOnlyAsciiLetters)
{
    for (const PrefixCase& c : prefixCases)
        EXPECT_EQ(c.expected, StartsWithIgnoringCase(c.prefix, c.text))
            << "prefix \"" << c.prefix << "\", text \"" << c.text << "\"";
}

struct PathCase
{
    const char* name;
    const char* path;
    BOOL expected;
};

const PathCase pathCases[] = {
    {"TVDRV", "C:\\WINDOWS\\SYSTEM\\TVDRV.DRV", TRUE},
    {"tvdrv", "C:\\WINDOWS\\SYSTEM\\TVDRV.DRV", TRUE},
    {"TVDRV", "C:\\WINDOWS\\SYSTEM\\TTY.DRV", FALSE},
    {"system", "C:\\WINDOWS\\SYSTEM\\TTY.DRV", TRUE},
    {"SYSTEM", "C:\\WINDOWS\\SYSTEM32\\TTY.DRV", TRUE},
    {"c:\\windows", "C:\\WINDOWS\\SYSTEM\\TTY.DRV", TRUE},
    {"Y.DRV", "C:\\WINDOWS\\SYSTEM\\TTY.DRV", TRUE},
    {"TTY.DRVX", "C:\\WINDOWS\\SYSTEM\\TTY.DRV", FALSE},
    {"TVDRV", "TVDR", FALSE},
    {"TVDRV", "", FALSE},
    {"TVDRV", nullptr, FALSE},
    {"caf\xC9", "C:\\WINDOWS\\SYSTEM\\CAF\xC9.DRV", TRUE},
    {"CAF\xE9", "C:\\WINDOWS\\SYSTEM\\CAF\xC9.DRV", FALSE},
};

TEST(DriverPathMatches, FindsTheNameAnywhereInThePath)
{
    for (const PathCase& c : pathCases)
        EXPECT_EQ(c.expected, DriverPathMatches(c.name, c.path))
            << "name \"" << c.name << "\", path \"" << (c.path ? c.path : "(null)") << "\"";
}

} // namespace
