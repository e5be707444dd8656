#include "bench/generator.h"
#include "platform/posix/storage/regedit4/storage.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace
{

using support::Section;
using support::SplitSections;

const std::size_t twoMegabytes = 2 << 20;

const std::string& Image()
{
    static const std::string image = bench::GenerateImage(7, twoMegabytes);
    return image;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

TEST(Generator, SameSeedAndSizeGiveTheSameBytes)
{
    EXPECT_EQ(Image(), bench::GenerateImage(7, twoMegabytes));
    EXPECT_NE(Image(), bench::GenerateImage(8, twoMegabytes));
}

TEST(Generator, ImageIsAboutTheSizeAsked)
{
    for (std::size_t size : {std::size_t(1) << 20, std::size_t(5) << 20})
    {
        std::size_t length = bench::GenerateImage(3, size).size();
        EXPECT_GE(length, size);
        EXPECT_LE(length, size + size / 8);
    }
    EXPECT_GT(bench::GenerateImage(3, 0).size(), 0u);
}

TEST(Generator, StopsWhenTheSinkFails)
{
    int calls = 0;
    bool written = bench::GenerateImage(1, 4 << 20,
                                        [&calls](const char*, std::size_t)
                                        {
                                            ++calls;
                                            return false;
                                        });
    EXPECT_FALSE(written);
    EXPECT_EQ(1, calls);
}

TEST(Generator, DefaultMachineSectionsStandAsTheyAreInTheirOrder)
{
    std::vector<Section> generated = SplitSections(Image());
    std::size_t at = 0;
    for (const Section& section : SplitSections(support::Fixture("default.reg")))
    {
        if (section.header.empty())
        {
            EXPECT_EQ(section.text, generated[0].text);
            continue;
        }
        while (at < generated.size() && generated[at].header != section.header)
            ++at;
        ASSERT_LT(at, generated.size()) << "missing or out of order: " << section.header;
        EXPECT_EQ(section.text, generated[at].text);
    }
}

TEST(Generator, ImageIsReadAndWrittenBackByteForByte)
{
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(Image(), error);
    ASSERT_TRUE(image) << error.where << ": " << error.what;
    std::string written;
    EXPECT_TRUE(image->Write(
        [&written](const char* data, std::size_t size)
        {
            written.append(data, size);
            return true;
        }));
    EXPECT_TRUE(written == Image()) << "written back differently";
}

TEST(Generator, KeysAreUniqueAndEachParentComesFirst)
{
    std::set<std::string> seen;
    for (const Section& section : SplitSections(Image()))
    {
        if (section.header.empty())
            continue;
        std::string key = Upper(section.header);
        EXPECT_TRUE(seen.insert(key).second) << "twice: " << section.header;
        std::size_t slash = key.rfind('\\');
        bool belowRoot = slash != std::string::npos && slash != key.find('\\');
        EXPECT_TRUE(!belowRoot || seen.count(key.substr(0, slash)))
            << "parent missing: " << section.header;
    }
    EXPECT_GT(seen.size(), 5000u);
}

TEST(Generator, EveryFormOfValueIsThere)
{
    const char* const forms[] = {
        "@=\"",     "\"=\"\"\r\n", "=dword:",
        "=hex:",    "=hex:\r\n",   "=hex(0):",
        "=hex(1):", "=hex(2):",    "=hex(4):",
        "=hex(5):", "=hex(7):",    "\\\"",
        "\\\\",     ",\\\r\n  ",   "\r\n; ",
        "\xE9",     "\xAE",        "{2227A280-3AEA-1069-A2DE-08002B30309D}",
    };
    for (const char* form : forms)
        EXPECT_NE(std::string::npos, Image().find(form)) << "missing: " << form;
}

TEST(Generator, LinesEndInCrLfAndWrapAtEightyColumns)
{
    const std::string& image = Image();
    std::size_t longest = 0;
    for (std::size_t at = 0; at < image.size();)
    {
        std::size_t end = image.find('\n', at);
        ASSERT_NE(std::string::npos, end);
        ASSERT_GT(end, at) << "bare line feed at " << at;
        ASSERT_EQ('\r', image[end - 1]) << "bare line feed at " << end;
        std::string line = image.substr(at, end - 1 - at);
        if (line.find("=hex") != std::string::npos || line.rfind("  ", 0) == 0)
            longest = std::max(longest, line.size());
        at = end + 1;
    }
    EXPECT_LE(longest, 80u);
    EXPECT_GE(longest, 76u);
}

// Each family fills its share: counted by the key lines below a path.
TEST(Generator, EveryFamilyHasManyKeys)
{
    struct Family
    {
        const char* below;
        std::size_t atLeast;
    };
    const Family families[] = {
        {"HKEY_LOCAL_MACHINE\\Enum\\BIOS\\", 100},
        {"HKEY_LOCAL_MACHINE\\Enum\\Root\\", 100},
        {"HKEY_LOCAL_MACHINE\\Enum\\PCI\\", 200},
        {"HKEY_LOCAL_MACHINE\\Enum\\SCSI\\", 100},
        {"HKEY_LOCAL_MACHINE\\Enum\\Network\\", 300},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.", 200},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\", 2000},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Interface\\", 1000},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\", 100},
        {"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Environments\\Windows "
         "4.0\\Drivers\\",
         80},
        {"HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\", 300},
        {"HKEY_USERS\\.Default\\Software\\", 100},
    };
    std::vector<Section> sections = SplitSections(Image());
    for (const Family& family : families)
    {
        std::size_t count = 0;
        for (const Section& section : sections)
            count += section.header.rfind(family.below, 0) == 0;
        EXPECT_GE(count, family.atLeast) << family.below;
    }
}

TEST(Generator, NoGeneratedDriverIsTheOneTheBenchmarkRemoves)
{
    std::string printers = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
                           "Printers\\";
    int count = 0;
    for (const Section& section : SplitSections(Image()))
    {
        if (section.header.rfind(printers, 0) == 0 &&
            section.header.find('\\', printers.size()) == std::string::npos)
            ++count;
        EXPECT_EQ(std::string::npos, Upper(section.text).find("TVDRV")) << section.header;
    }
    EXPECT_EQ(61, count);
}

} // namespace
