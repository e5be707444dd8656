#include "platform/system.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(Wsprintf, LongMeansThirtyTwoBitsAndOutputStopsAt1024Bytes)
{
    char buffer[1100];
    DWORD big = 4000000000u;
    EXPECT_EQ(25, wsprintfA(buffer, "num p %ld NEEDED %ld", 3, big));
    EXPECT_STREQ("num p 3 NEEDED -294967296", buffer);
    wsprintfA(buffer, "%s|%5d|%-3u|%04x|%c|%%", "ab", 42, 7u, 0xbeefu, 'z');
    EXPECT_STREQ("ab|   42|7  |beef|z|%", buffer);
    std::string text(2000, 'a');
    EXPECT_EQ(1023, wsprintfA(buffer, "%s", text.c_str()));
    EXPECT_EQ(1023u, std::string(buffer).size());
}

TEST(Lstrcmp, EqualOnlyForIdenticalTextAndCaseSensitive)
{
    EXPECT_EQ(0, lstrcmpA("LPT1", "LPT1"));
    EXPECT_NE(0, lstrcmpA("LPT1", "lpt1"));
    EXPECT_NE(0, lstrcmpA("LPT1", "LPT1:"));
    EXPECT_LT(lstrcmpA("apple", "Banana"), 0);
    EXPECT_GT(lstrcmpA("LPT2", "LPT1"), 0);
}

TEST(CharNext, NeverMovesPastTheEnd)
{
    const char text[] = "a";
    EXPECT_EQ(text + 1, CharNextA(text));
    EXPECT_EQ(text + 1, CharNextA(text + 1));
}

TEST(WindowsDirectory, NeedsRoomForItsZeroByte)
{
    char buffer[16] = "untouched";
    EXPECT_EQ(11u, GetWindowsDirectoryA(buffer, 10));
    EXPECT_STREQ("untouched", buffer);
    EXPECT_EQ(10u, GetWindowsDirectoryA(buffer, 11));
    EXPECT_STREQ("C:\\WINDOWS", buffer);
}

TEST(ModuleFileName, CutShortPathIsTerminatedAndReportsTheCapacity)
{
    char full[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, full, MAX_PATH);
    ASSERT_GT(length, 6u);
    char small[6];
    EXPECT_EQ(6u, GetModuleFileNameA(nullptr, small, sizeof small));
    EXPECT_EQ(std::string(full, 5), std::string(small));
}

} // namespace
