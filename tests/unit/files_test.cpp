#include "platform/files.h"
#include "platform/posix/api/paths.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace
{

std::string WindowsPath(const std::string& host)
{
    std::string path = "Z:" + host;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::vector<std::string> Pieces(const std::string& content, int capacity)
{
    std::string folder = support::TempDir();
    support::WriteFile(folder + "/in.txt", content);
    TextFile* file = OpenTextFile(WindowsPath(folder + "/in.txt").c_str(), FALSE);
    EXPECT_NE(nullptr, file);
    std::vector<std::string> pieces;
    std::vector<char> buffer(static_cast<std::size_t>(capacity));
    int length;
    while ((length = ReadTextPiece(file, buffer.data(), capacity)) > 0)
        pieces.emplace_back(buffer.data(), static_cast<std::size_t>(length));
    EXPECT_EQ(0, length);
    EXPECT_TRUE(CloseTextFile(file));
    return pieces;
}

TEST(TextFileReading, TranslatesLineEndsAndStopsAtCtrlZ)
{
    using Strings = std::vector<std::string>;
    EXPECT_EQ((Strings{"a\n", "b\rc\n", "d"}), Pieces("a\r\nb\rc\nd", 255));
    EXPECT_EQ((Strings{"kept\n"}), Pieces("kept\r\n\x1Alost\r\n", 255));
    EXPECT_EQ((Strings{"end\r"}), Pieces("end\r", 255));
    EXPECT_EQ((Strings{std::string("a\0b\n", 4)}), Pieces(std::string("a\0b\r\n", 5), 255));
    EXPECT_EQ((Strings{}), Pieces("", 255));

    std::string line(600, 'x');
    Strings pieces = Pieces(line + "\r\n", 255);
    ASSERT_EQ(3u, pieces.size());
    EXPECT_EQ(254u, pieces[0].size());
    EXPECT_EQ(254u, pieces[1].size());
    EXPECT_EQ(std::string(92, 'x') + "\n", pieces[2]);
}

TEST(TextFileReading, CrLfSplitAcrossReadsIsOneLineFeed)
{
    for (std::size_t before : {4095u, 4096u, 8191u})
    {
        std::string content(before, 'y');
        std::vector<std::string> pieces = Pieces(content + "\r\nz", 100000);
        ASSERT_EQ(2u, pieces.size()) << before;
        EXPECT_EQ(content + "\n", pieces[0]);
        EXPECT_EQ("z", pieces[1]);
    }
}

TEST(TextFileWriting, PutsCrLfForEveryLineFeedAcrossFlushes)
{
    std::string folder = support::TempDir();
    std::string path = WindowsPath(folder + "/out.txt");
    TextFile* file = OpenTextFile(path.c_str(), TRUE);
    ASSERT_NE(nullptr, file);
    std::string expected;
    std::string line(99, 'q');
    for (int i = 0; i < 200; ++i)
    {
        EXPECT_TRUE(WriteText(file, (line + "\n").c_str()));
        expected += line + "\r\n";
    }
    EXPECT_TRUE(WriteText(file, "lone\rcr, no end"));
    expected += "lone\rcr, no end";
    EXPECT_TRUE(CloseTextFile(file));
    EXPECT_EQ(expected, support::ReadFile(folder + "/out.txt"));
}

TEST(Paths, ComponentsMatchWithoutCaseAndNewNamesKeepTheirCase)
{
    std::string folder = support::TempDir();
    support::WriteFile(folder + "/Win95.inf", "x");
    EXPECT_TRUE(PathExists(WindowsPath(folder + "/WIN95.INF").c_str()));
    EXPECT_FALSE(PathExists(WindowsPath(folder + "/OEM0.INF").c_str()));

    TextFile* file = OpenTextFile(WindowsPath(folder + "/win95.INF").c_str(), TRUE);
    ASSERT_NE(nullptr, file);
    CloseTextFile(file);
    EXPECT_TRUE(support::FileExists(folder + "/Win95.inf"));
    EXPECT_FALSE(support::FileExists(folder + "/win95.INF"));

    file = OpenTextFile(WindowsPath(folder + "/New.Inf").c_str(), TRUE);
    ASSERT_NE(nullptr, file);
    CloseTextFile(file);
    EXPECT_TRUE(support::FileExists(folder + "/New.Inf"));
    EXPECT_TRUE(RemoveFile(WindowsPath(folder + "/NEW.INF").c_str()));
    EXPECT_FALSE(support::FileExists(folder + "/New.Inf"));
}

TEST(Paths, DriveCNeverClimbsAboveItsRoot)
{
    using Parts = win95::DrivePath;
    auto split = [](const char* path, char expectedDrive)
    {
        char drive = 0;
        Parts parts;
        EXPECT_TRUE(win95::SplitWindowsPath(path, drive, parts)) << path;
        EXPECT_EQ(expectedDrive, drive) << path;
        return parts;
    };
    EXPECT_EQ((Parts{"windows", "inf", "OEM0.INF"}), split("c:\\windows\\inf\\OEM0.INF", 'C'));
    EXPECT_EQ((Parts{"etc", "passwd"}), split("C:\\..\\..\\..\\etc\\passwd", 'C'));
    EXPECT_EQ((Parts{"WINDOWS"}), split("C:\\WINDOWS\\SYSTEM\\..\\.\\\\", 'C'));
    EXPECT_EQ((Parts{"x"}), split("C:x", 'C'));
    EXPECT_EQ((Parts{"etc", "passwd"}), split("Z:\\..\\etc\\passwd", 'Z'));
    EXPECT_EQ((Parts{}), split("\\", 'Z'));
    char drive = 0;
    Parts parts;
    EXPECT_FALSE(win95::SplitWindowsPath("D:\\file", drive, parts));
}

} // namespace
