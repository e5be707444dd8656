#include "support/diskimages.h"

#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace support
{
namespace
{

void Put32(std::string& bytes, size_t at, uint32_t value, bool bigEndian)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<size_t>(i)] =
            static_cast<char>(value >> (bigEndian ? 24 - 8 * i : 8 * i));
}

void Format(const std::string& path, uint32_t start, uint32_t sectors, int fatBits)
{
    std::string output;
    // mkfs.fat counts the file system's size in KiB; FAT32 needs small
    // clusters to reach its least count of clusters on a small partition.
    std::vector<std::string> argv = {
        "mkfs.fat", "-F",      std::to_string(fatBits), "--offset", std::to_string(start),
        "-n",       "TESTDISK"};
    if (fatBits == 32)
        argv.insert(argv.end(), {"-s", "1"});
    argv.insert(argv.end(), {path, std::to_string(sectors / 2)});
    ASSERT_EQ(RunTool(argv, output), 0) << output;
}

void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes)
{
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

} // namespace

int RunTool(const std::vector<std::string>& argv, std::string& output)
{
    const std::string file = TempDir() + "/output";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> environment = {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null",
                                            "HOME=/dev/null", "LC_ALL=C.UTF-8"};
    if (const char* path = getenv("PATH"))
        environment.push_back(std::string("PATH=") + path);
    std::vector<char*> args, envp;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& setting : environment)
        envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
    {
        output = argv[0] + ": " + std::strerror(error);
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    output = ReadFile(file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string MissingFatTool()
{
    for (const char* tool :
         {"mkfs.fat", "fsck.fat", "mcopy", "mdir", "mren", "mdel", "mrd", "mattrib", "mmd"})
    {
        std::string output;
        // Each of them answers --version or at least runs.
        if (RunTool({tool, "--version"}, output) < 0)
            return tool;
    }
    return "";
}

void MakeDisk(const std::string& path, uint64_t sectors, const std::vector<Partition>& partitions)
{
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(sectors * 512)), 0);
    std::string mbr(512, '\0');
    for (size_t i = 0; i < partitions.size(); ++i)
    {
        const Partition& part = partitions[i];
        if (part.fatBits != 0)
            Format(path, part.start, part.sectors, part.fatBits);
        const size_t entry = 446 + 16 * i;
        mbr[entry] = static_cast<char>(i == 0 ? 0x80 : 0x00);
        mbr[entry + 4] = static_cast<char>(part.type);
        Put32(mbr, entry + 8, part.start, false);
        Put32(mbr, entry + 12, part.sectors, false);
    }
    mbr[510] = '\x55';
    mbr[511] = '\xAA';
    WriteAt(path, 0, mbr);
}

void MakeBarePartition(const std::string& path, uint32_t sectors, int fatBits)
{
    WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(sectors) * 512), 0);
    Format(path, 0, sectors, fatBits);
}

void AppendVhdFooter(const std::string& path)
{
    const uint64_t size = ReadFile(path).size();
    std::string footer(512, '\0');
    std::memcpy(&footer[0], "conectix", 8);
    Put32(footer, 8, 2, true);           // features: reserved bit
    Put32(footer, 12, 0x10000, true);    // format version 1.0
    Put32(footer, 16, 0xFFFFFFFF, true); // data offset: none, fixed disk
    Put32(footer, 20, 0xFFFFFFFF, true);
    std::memcpy(&footer[28], "tvrn", 4);
    Put32(footer, 40, static_cast<uint32_t>(size >> 32), true); // original size
    Put32(footer, 44, static_cast<uint32_t>(size), true);
    Put32(footer, 48, static_cast<uint32_t>(size >> 32), true); // current size
    Put32(footer, 52, static_cast<uint32_t>(size), true);
    Put32(footer, 60, 2, true); // fixed
    uint32_t sum = 0;
    for (unsigned char c : footer)
        sum += c;
    Put32(footer, 64, ~sum, true);
    WriteAt(path, size, footer);
}

std::string InImage(const std::string& image, uint64_t offset)
{
    return image + "@@" + std::to_string(offset);
}

void PutFile(const std::string& image, uint64_t offset, const std::string& dosPath,
             const std::string& bytes)
{
    const std::string host = TempDir() + "/file";
    WriteFile(host, bytes);
    std::string output;
    EXPECT_EQ(RunTool({"mcopy", "-i", InImage(image, offset), host, dosPath}, output), 0) << output;
}

WindowsDisk MakeWindowsDisk(const std::string& image, int fatBits, bool vhd, uint32_t sectors)
{
    WindowsDisk disk;
    disk.path = TempDir() + "/disk.img";
    if (sectors == 0)
        sectors = fatBits == 32 ? 83968 : 40960;
    const uint32_t start = 2048;
    MakeDisk(disk.path, start + sectors,
             {{fatBits == 32 ? 0x0Cu : 0x06u, start, sectors, fatBits}});
    disk.offset = uint64_t{start} * 512;
    disk.inImage = InImage(disk.path, disk.offset);
    disk.bytes = uint64_t{sectors} * 512;
    std::string output;
    for (const char* folder : {"::/WIN", "::/WIN/INF"})
        EXPECT_EQ(0, RunTool({"mmd", "-i", disk.inImage, folder}, output)) << output;
    PutFile(disk.path, disk.offset, "::/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN\r\n");
    PutFile(disk.path, disk.offset, "::/WIN/SYSTEM.DAT", SystemDatOf(image));
    EXPECT_EQ(
        0, RunTool({"mattrib", "-i", disk.inImage, "+r", "+h", "+s", "::/WIN/SYSTEM.DAT"}, output))
        << output;
    if (vhd)
        AppendVhdFooter(disk.path);
    return disk;
}

std::string FileIn(const WindowsDisk& disk, const std::string& dosPath)
{
    std::string bytes;
    return RunTool({"mtype", "-i", disk.inImage, "::" + dosPath}, bytes) == 0 ? bytes : "(none)";
}

std::string FsckProblems(const std::string& image, uint64_t offset, uint64_t bytes)
{
    const std::string copy = TempDir() + "/partition";
    WriteFile(copy, ReadFile(image).substr(offset, bytes));
    std::string output;
    return RunTool({"fsck.fat", "-n", copy}, output) == 0 ? "" : output;
}

} // namespace support
