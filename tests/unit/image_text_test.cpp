// The image read as a mapping of its file, and a run whose image file is
// cut short by another program while it is mapped.
#include "bench/generator.h"
#include "platform/posix/storage/regedit4/storage.h"
#include "platform/registry.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The text of a file, mapped; the file itself is closed again at once.
win95::ImageText Mapped(const std::string& content)
{
    std::string path = support::TempDir() + "/image.reg";
    support::WriteFile(path, content);
    int fd = open(path.c_str(), O_RDONLY);
    win95::ImageText text;
    EXPECT_TRUE(text.Map(fd, content.size()));
    close(fd);
    return text;
}

TEST(ImageText, MappedFileReadsAsItsBytesAndMovesWithItsOwner)
{
    std::string content = support::Fixture("default.reg");
    win95::ImageText text = Mapped(content);
    EXPECT_EQ(content, text.View());

    win95::ImageText moved(std::move(text));
    EXPECT_EQ(content, moved.View());
    EXPECT_EQ("", text.View());

    win95::ImageText assigned(std::string("REGEDIT4\r\n"));
    assigned = std::move(moved);
    EXPECT_EQ(content, assigned.View());
    EXPECT_EQ("", moved.View());

    assigned = win95::ImageText(std::string("REGEDIT4\r\n"));
    EXPECT_EQ("REGEDIT4\r\n", assigned.View());
}

TEST(ImageText, MappedImageIsReadAndWrittenBackLikeTheString)
{
    std::string content = bench::GenerateImage(3, 1 << 20);
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(Mapped(content), error);
    ASSERT_TRUE(image) << error.where << ": " << error.what;
    std::string written;
    image->Write(
        [&written](const char* data, std::size_t size)
        {
            written.append(data, size);
            return true;
        });
    EXPECT_TRUE(written == content);
}

// Reading a part of the mapping that the file no longer has ends the run
// with one line and exit status 0, and nothing is written.
TEST(ImageTextDeathTest, ImageCutShortDuringTheRunEndsItQuietly)
{
    // The dying run starts in a new process, which finds the machine by name.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* shared = std::getenv("TAVRINE_CUT_SHORT_MACHINE");
    std::string machine =
        shared != nullptr ? shared : support::MachineWithImage(bench::GenerateImage(5, 1 << 20));
    setenv("TAVRINE_CUT_SHORT_MACHINE", machine.c_str(), 1);
    std::string image = machine + "/registry.reg";
    EXPECT_EXIT(
        {
            setenv("WIN95PREFIX", machine.c_str(), 1);
            HKEY key;
            RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tavrine test", &key);
            truncate(image.c_str(), 0);
            DWORD size = 0;
            RegOpenKeyA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\Net",
                        &key);
            RegQueryValueExA(key, "Icon", nullptr, nullptr, nullptr, &size);
            std::exit(3);
        },
        testing::ExitedWithCode(0), "registry.reg: the registry image was cut short");
    EXPECT_EQ("", support::ReadFile(image));
    EXPECT_FALSE(support::FileExists(image + ".new"));
}

} // namespace
