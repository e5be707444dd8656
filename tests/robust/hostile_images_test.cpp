// Malformed images are reported in one line naming the file and the line,
// and left byte for byte as they were, whichever program meets them;
// huge but well-formed images are simply worked on.
#include "processes.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

using support::Fixture;
using support::ImageOf;
using support::Program;
using support::RunProgram;

struct Malformed
{
    const char* name;
    std::string image;
    std::size_t line; // the line the report must name
};

const std::string header = "REGEDIT4\r\n\r\n";
const std::string system = header + "[HKEY_LOCAL_MACHINE\\System]\r\n";
const std::string printers =
    header + "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers]\r\n";

std::string Repeat(const std::string& piece, std::size_t times)
{
    std::string text;
    text.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

// A thousand levels of keys, each a section of its own, then a bad line.
std::string DeepKeys()
{
    std::string image = header;
    std::string path = "HKEY_LOCAL_MACHINE";
    for (int level = 0; level < 1000; ++level)
    {
        path += "\\k";
        image += "[" + path + "]\r\n";
    }
    return image + "\"Depth\"=dword:0x3e8\r\n";
}

// Hex data continued over 20000 lines whose last byte is bad.
std::string LongContinuation()
{
    return system + "\"Blob\"=hex:" + Repeat("00,01,02,03,04,05,06,07,\\\r\n  ", 20000) + "0x\r\n";
}

std::vector<Malformed> MalformedImages()
{
    return {
        {"Empty", "", 1},
        {"OtherVersion", "REGEDIT5\r\n\r\n[HKEY_LOCAL_MACHINE\\System]\r\n", 1},
        {"LaterFormat", "Windows Registry Editor Version 5.00\r\n\r\n", 1},
        {"Utf16", std::string("\xFF\xFER\0E\0G\0E\0D\0I\0T\0004\0\r\0\n\0", 20), 1},
        {"ByteOrderMark", "\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System]\r\n", 1},
        {"NoHeader", "[HKEY_LOCAL_MACHINE\\System]\r\n\"A\"=\"b\"\r\n", 1},
        {"ShortHeader", "REGEDIT\r\n", 1},
        {"OnlyCarriageReturns", "REGEDIT4\r\r[HKEY_LOCAL_MACHINE\\System]\r", 1},
        {"NulInHeader", std::string("REGEDIT4\0\r\n", 11), 1},
        {"KeyWithoutBracket", header + "[HKEY_LOCAL_MACHINE\\System\r\n\"A\"=\"b\"\r\n", 3},
        {"TruncatedKeyLine", header + "[HKEY_LOCAL_MACHINE\\Sys", 3},
        {"EmptyKeyPath", header + "[]\r\n", 3},
        {"EmptyKeyName", header + "[HKEY_LOCAL_MACHINE\\\\System]\r\n", 3},
        {"UnknownRoot", header + "[HKEY_ELSEWHERE\\System]\r\n", 3},
        {"JunkAfterKeyLine", header + "[HKEY_LOCAL_MACHINE\\System] x\r\n", 3},
        {"NulInKeyLine", header + std::string("[HKEY_LOCAL_MACHINE\\Sys\0tem]\r\n", 31), 3},
        {"KeyLineOf100KB", header + "[HKEY_LOCAL_MACHINE\\" + std::string(100 * 1024, 'k') + "\r\n",
         3},
        {"ValueBeforeAnyKey", header + "\"A\"=\"b\"\r\n", 3},
        {"NeitherKeyNorValue", system + "A=b\r\n", 4},
        {"BinaryGarbage", system + "\x80\x81\xFE\xFF\x01\x02\r\n", 4},
        {"UnterminatedName", system + "\"A=\"b\"\r\n", 4},
        {"UnterminatedString", system + "\"A\"=\"b\r\n\"C\"=\"d\"\r\n", 4},
        {"TruncatedString", system + "\"Port\"=\"LPT", 4},
        {"JunkAfterString", system + "\"A\"=\"b\"c\r\n", 4},
        {"MissingEquals", system + "\"A\" \"b\"\r\n", 4},
        {"MissingData", system + "\"A\"=\r\n", 4},
        {"DefaultWithoutEquals", system + "@\"b\"\r\n", 4},
        {"BadEscape", system + "\"A\"=\"a\\qb\"\r\n", 4},
        {"StringContinued", system + "\"A\"=\"abc\\\r\ndef\"\r\n", 4},
        {"UnknownKindOfData", system + "\"A\"=float:1.5\r\n", 4},
        {"BadDword", system + "\"A\"=dword:xyz\r\n", 4},
        {"DwordOfNineDigits", system + "\"A\"=dword:123456789\r\n", 4},
        {"BadHexByte", system + "\"A\"=hex:01,0g\r\n", 4},
        {"HexByteOfThreeDigits", system + "\"A\"=hex:123\r\n", 4},
        {"HexEndingInComma", system + "\"A\"=hex:01,02,\r\n", 4},
        {"TruncatedHex", system + "\"A\"=hex:01,0", 4},
        {"BadHexType", system + "\"A\"=hex(zz):00\r\n", 4},
        {"UnclosedHexType", system + "\"A\"=hex(2:00\r\n", 4},
        {"HexTypeOfNineDigits", system + "\"A\"=hex(123456789):00\r\n", 4},
        {"ContinuationOnLastLine", system + "\"A\"=hex:01,\\\r\n", 4},
        {"ContinuationIntoKeyLine", system + "\"A\"=hex:01,\\\r\n[HKEY_LOCAL_MACHINE\\Other]\r\n",
         5},
        {"EmptyContinuationLine", system + "\"A\"=hex:01,\\\r\n\r\n\"B\"=\"c\"\r\n", 5},
        {"ContinuationOfJunk", system + "\"A\"=hex:01,\\\r\n  zz\r\n", 5},
        {"JunkAfterBackslash", system + "\"A\"=hex:01,\\ x\r\n  02\r\n", 4},
        {"BackslashWithoutComma", system + "\"A\"=hex:01\\\r\n  02\r\n", 4},
        {"NulInValueLine", system + std::string("\"A\"=\"b\0c\"\r\n", 11), 4},
        {"NulInComment", system + std::string("; note\0\r\n", 9), 4},
        {"StringOf1MBUnterminated", printers + "\"Port\"=\"" + std::string(1 << 20, 'p') + "\r\n",
         4},
        {"HexLineOf1MBWithBadEnd", system + "\"A\"=hex:" + Repeat("00,", 350000) + "zz\r\n", 4},
        {"BadByteAfter20000Continuations", LongContinuation(), 20004},
        {"BadLineBelow1000LevelsOfKeys", DeepKeys(), 1003},
    };
}

struct Invocation
{
    const char* name;
    std::vector<std::string> arguments;
};

std::vector<Invocation> BothPrograms()
{
    return {
        {"prnsetup", {"/D1", "/P\"LPT1:\""}},
        {"prnpurge", {"/D\"TVDRV\""}},
    };
}

TEST(HostileImages, EachIsReportedAtItsLineAndLeftByteForByte)
{
    std::vector<Malformed> images = MalformedImages();
    ASSERT_GE(images.size(), 30u);
    for (const Malformed& bad : images)
        for (const Invocation& program : BothPrograms())
        {
            std::string what = std::string(bad.name) + ", " + program.name;
            std::string machine = support::MachineWithImage(bad.image);
            std::string image = machine + "/registry.reg";
            support::RunResult result =
                RunProgram(Program(program.name), program.arguments, machine);
            EXPECT_EQ(0, result.exitStatus) << what;
            EXPECT_TRUE(ImageOf(machine) == bad.image) << what << ": the image was changed";
            EXPECT_FALSE(support::FileExists(image + ".new")) << what;

            std::vector<std::string> reports = robust::MachineReports(result.errorOutput, machine);
            ASSERT_EQ(1u, reports.size()) << what << ": " << result.errorOutput;
            std::string expected =
                std::string(program.name) + ": " + image + ":" + std::to_string(bad.line) + ": ";
            EXPECT_EQ(0u, reports[0].rfind(expected, 0)) << what << ": " << reports[0];
            EXPECT_GT(reports[0].size(), expected.size()) << what << ": says not what is wrong";
            if (std::string(program.name) == "prnsetup")
            {
                EXPECT_EQ(reports[0] + "\n", result.errorOutput) << what;
            }
        }
    std::printf("%zu malformed images, each met by %zu programs\n", images.size(),
                BothPrograms().size());
}

// An export of a later Windows is named for what it is, whatever its
// encoding, not for the first byte that does not fit.
TEST(HostileImages, ExportOfALaterRegeditIsNamed)
{
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n"))
        utf16 += std::string(1, c) + '\0';
    for (const std::string& image :
         {utf16, std::string("Windows Registry Editor Version 5.00\r\n")})
    {
        std::string machine = support::MachineWithImage(image);
        support::RunResult result = RunProgram(Program("prnpurge"), {"/D\"TVDRV\""}, machine);
        std::vector<std::string> reports = robust::MachineReports(result.errorOutput, machine);
        ASSERT_EQ(1u, reports.size()) << result.errorOutput;
        EXPECT_NE(std::string::npos, reports[0].find("Windows Registry Editor Version 5.00"))
            << reports[0];
        EXPECT_NE(std::string::npos, reports[0].find("reads REGEDIT4")) << reports[0];
        EXPECT_EQ(image[0] == utf16[0], reports[0].find("UTF-16") != std::string::npos)
            << reports[0];
    }
}

// Well-formed but far larger than usual: the installer writes its records
// as on any image, and everything else stays as it was.
TEST(HostileImages, HugeButWellFormedImagesAreWorkedOn)
{
    std::string printersKey = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                              "Printers]\r\n\r\n";
    std::string deepPath = "HKEY_LOCAL_MACHINE\\Deep" + Repeat("\\k", 50000);
    const std::pair<const char*, std::string> huge[] = {
        {"KeyLineOf100KB", header + "[HKEY_LOCAL_MACHINE\\" + std::string(100 * 1024, 'k') +
                               "]\r\n\r\n" + printersKey},
        {"KeyLineOf50000Levels",
         header + "[" + deepPath + "]\r\n\"Leaf\"=\"x\"\r\n\r\n" + printersKey},
        {"ValueOf4MB", header + printersKey.substr(0, printersKey.size() - 2) +
                           "\"Blob\"=hex:" + Repeat("ab,", 4 << 20) + "cd\r\n\r\n"},
        {"StringOf1MB", header + "[HKEY_LOCAL_MACHINE\\Long]\r\n\"S\"=\"" +
                            std::string(1 << 20, 's') + "\"\r\n\r\n" + printersKey},
    };
    for (const auto& [name, image] : huge)
    {
        std::string machine = support::MachineWithImage(image);
        support::RunResult result =
            RunProgram(Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine);
        EXPECT_EQ(0, result.exitStatus) << name;
        EXPECT_EQ("", result.errorOutput) << name;
        std::string after = ImageOf(machine);
        EXPECT_EQ(0u, after.rfind(image, 0)) << name << ": the old image is not kept as it was";
        support::ExpectImageChange(image, after, Fixture("golden/printer-only.reg"));
    }
}

// The remover deletes a printer however deep the keys below it go.
TEST(HostileImages, PrinterWithKeys60000LevelsDeepIsRemoved)
{
    std::string print = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\";
    std::string driver = "[" + print +
                         "Environments\\Windows 4.0\\Drivers\\Tavrine]\r\n"
                         "\"Driver\"=\"TVDRV.DRV\"\r\n\r\n";
    std::string printer = print + "Printers\\Tavrine";
    std::string before = header + driver + "[" + printer +
                         "]\r\n\"Printer Driver\"=\"Tavrine\"\r\n\r\n" + "[" + printer +
                         Repeat("\\k", 60000) + "]\r\n\"Leaf\"=\"x\"\r\n\r\n";
    std::string machine = support::MachineWithImage(before);
    support::RunResult result = RunProgram(Program("prnpurge"), {"/D\"TVDRV\""}, machine);
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_EQ(0u, robust::MachineReports(result.errorOutput, machine).size()) << result.errorOutput;
    EXPECT_EQ(header + driver + "[" + print + "Printers]\r\n\r\n", ImageOf(machine));
}

} // namespace
