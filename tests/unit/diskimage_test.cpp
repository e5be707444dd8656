// The FAT file system inside emulator disk images: every operation on each
// layout, checked afterwards with mtools and fsck.fat; which partition is
// chosen; images in use and malformed images refused, untouched.
#include "platform/posix/disk/disk_image.h"
#include "platform/posix/machine/disk_installation.h"
#include "support/diskimages.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using support::InImage;
using support::PutFile;
using support::ReadFile;
using support::RunTool;

constexpr uint64_t kStart = 2048; // the first partition's sector

// The image opened as a run opens it: at the partition holding Windows,
// unless `partition` names one.
std::unique_ptr<win95::DiskImage> Open(const std::string& path, int partition, win95::Fault& fault)
{
    auto holdsWindows = [](win95::DiskImage& disk, std::string& why, win95::Fault& found)
    {
        std::string windows;
        return win95::FindWindows(disk, windows, why, found);
    };
    return win95::OpenDiskImage(path, partition, holdsWindows, fault);
}

// A fault as a run reports it.
std::string Line(const win95::Fault& fault)
{
    return fault.where + ": " + fault.what;
}

struct Layout
{
    const char* name;
    int fatBits;
    bool table; // an MBR before the partition
    bool vhd;   // a VHD footer after the disk
};

struct Disk
{
    std::string path;
    uint64_t offset = 0; // the partition's place and size in bytes
    uint64_t bytes = 0;
};

void AddWindows(const Disk& disk, const std::string& folder, const std::string& systemDat)
{
    std::string output;
    for (const std::string& dir : {folder, folder + "/INF"})
        ASSERT_EQ(RunTool({"mmd", "-i", InImage(disk.path, disk.offset), "::" + dir}, output), 0)
            << output;
    PutFile(disk.path, disk.offset, "::" + folder + "/SYSTEM.DAT", systemDat);
}

// A disk of this layout whose one partition holds \WINDOWS with SYSTEM.DAT,
// with a marked tail after the partition that no write may reach.
Disk MakeWindowsDisk(const Layout& layout, const std::string& systemDat)
{
    Disk disk;
    disk.path = support::TempDir() + "/disk.img";
    const uint32_t sectors = layout.fatBits == 32 ? 83968 : 40960;
    if (layout.table)
    {
        support::MakeDisk(
            disk.path, kStart + sectors + 64,
            {{layout.fatBits == 32 ? 0x0Cu : 0x06u, kStart, sectors, layout.fatBits}});
        disk.offset = kStart * 512;
        const int fd = open(disk.path.c_str(), O_WRONLY);
        const std::string tail(64 * 512, 'T');
        EXPECT_EQ(pwrite(fd, tail.data(), tail.size(), (kStart + sectors) * 512),
                  static_cast<ssize_t>(tail.size()));
        close(fd);
    }
    else
        support::MakeBarePartition(disk.path, sectors, layout.fatBits);
    disk.bytes = uint64_t{sectors} * 512;
    AddWindows(disk, "/WINDOWS", systemDat);
    PutFile(disk.path, disk.offset, "::/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WINDOWS\r\n");
    if (layout.vhd)
        support::AppendVhdFooter(disk.path);
    return disk;
}

std::string Binary(size_t size)
{
    std::string bytes(size, '\0');
    std::mt19937 random(7);
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes + "\r\n\x1a\0end";
}

class FatTools : public testing::Test
{
  protected:
    void SetUp() override
    {
        const std::string missing = support::MissingFatTool();
        if (!missing.empty())
            GTEST_SKIP() << missing << " cannot be run: install mtools and dosfstools";
    }
};

class EveryLayout : public FatTools, public testing::WithParamInterface<Layout>
{
};

// Each operation through the interface, then the result read independently:
// the files' bytes by mtools, the file system by fsck.fat, and every byte
// outside the partition (table, tail, VHD footer) as it was.
TEST_P(EveryLayout, OperationsLeaveACleanFileSystemAndNothingOutsideThePartition)
{
    const std::string systemDat = Binary(5000);
    const Disk disk = MakeWindowsDisk(GetParam(), systemDat);
    const std::string before = ReadFile(disk.path);
    win95::Fault fault;
    auto image = Open(disk.path, 0, fault);
    ASSERT_TRUE(image) << Line(fault);

    EXPECT_TRUE(image->Exists("\\windows\\system.dat", fault));
    EXPECT_TRUE(image->IsFolder("\\Windows\\Inf", fault));
    EXPECT_FALSE(image->IsFolder("\\WINDOWS\\SYSTEM.DAT", fault));
    EXPECT_FALSE(image->Exists("\\WINDOWS\\SYSTEM.DA0", fault));
    EXPECT_EQ(fault.what, "");
    EXPECT_FALSE(image->Exists("\\WINDOWS\\*.DAT", fault));
    EXPECT_NE(fault.what, "");
    std::string bytes;
    ASSERT_TRUE(image->ReadFile("\\WINDOWS\\System.Dat", bytes, fault)) << Line(fault);
    EXPECT_EQ(bytes, systemDat);
    EXPECT_FALSE(image->ReadFile("\\WINDOWS\\INF", bytes, fault));

    const std::string inf = Binary(70000);
    const std::string newSystem = Binary(9000);
    ASSERT_TRUE(image->CreateFile("\\WINDOWS\\INF\\OEM0.INF", inf, fault)) << Line(fault);
    EXPECT_FALSE(image->CreateFile("\\windows\\inf\\oem0.inf", "other", fault));
    EXPECT_EQ(Line(fault).find('\n'), std::string::npos);
    ASSERT_TRUE(image->CreateFile("\\WINDOWS\\SYSTEM.NEW", newSystem, fault)) << Line(fault);
    ASSERT_TRUE(image->SetAttributes("\\WINDOWS\\SYSTEM.DAT", 0x27, fault)) << Line(fault);
    ASSERT_TRUE(image->Rename("\\WINDOWS\\SYSTEM.DAT", "\\WINDOWS\\Previous System.dat", fault))
        << Line(fault);
    EXPECT_FALSE(image->Rename("\\WINDOWS\\SYSTEM.NEW", "\\WINDOWS\\previous system.DAT", fault));
    EXPECT_FALSE(image->Rename("\\WINDOWS\\SYSTEM.NEW", "\\SYSTEM.DAT", fault));
    ASSERT_TRUE(image->Rename("\\WINDOWS\\SYSTEM.NEW", "\\WINDOWS\\SYSTEM.DAT", fault))
        << Line(fault);
    ASSERT_TRUE(image->SetAttributes("\\WINDOWS\\SYSTEM.DAT", 0x06, fault)) << Line(fault);
    unsigned attributes = 0;
    ASSERT_TRUE(image->GetAttributes("\\WINDOWS\\Previous System.dat", attributes, fault));
    EXPECT_EQ(attributes, 0x27u);
    ASSERT_TRUE(image->GetAttributes("\\WINDOWS\\INF", attributes, fault));
    EXPECT_EQ(attributes, 0x10u);
    std::vector<std::string> names;
    ASSERT_TRUE(image->List("\\WINDOWS", names, fault)) << Line(fault);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"INF", "Previous System.dat", "SYSTEM.DAT"}));
    ASSERT_TRUE(image->CreateFile("\\WINDOWS\\GONE.TMP", "x", fault));
    ASSERT_TRUE(image->Remove("\\WINDOWS\\GONE.TMP", fault)) << Line(fault);
    EXPECT_FALSE(image->Exists("\\WINDOWS\\GONE.TMP", fault));
    ASSERT_TRUE(image->Flush(fault)) << Line(fault);
    image.reset();

    std::string output;
    const std::string partition = InImage(disk.path, disk.offset);
    EXPECT_EQ(RunTool({"mcopy", "-i", partition, "::/WINDOWS/INF/OEM0.INF", "-"}, output), 0);
    EXPECT_TRUE(output == inf);
    EXPECT_EQ(RunTool({"mcopy", "-i", partition, "::/WINDOWS/SYSTEM.DAT", "-"}, output), 0);
    EXPECT_TRUE(output == newSystem);
    EXPECT_EQ(RunTool({"mattrib", "-i", partition, "::/WINDOWS/SYSTEM.DAT"}, output), 0);
    EXPECT_EQ(output.substr(0, output.find("::")), "     SH      ");
    EXPECT_EQ(support::FsckProblems(disk.path, disk.offset, disk.bytes), "");
    const std::string after = ReadFile(disk.path);
    ASSERT_EQ(after.size(), before.size());
    EXPECT_TRUE(after.compare(0, disk.offset, before, 0, disk.offset) == 0);
    const uint64_t end = disk.offset + disk.bytes;
    EXPECT_TRUE(after.compare(end, std::string::npos, before, end, std::string::npos) == 0);
}

INSTANTIATE_TEST_SUITE_P(DiskImage, EveryLayout,
                         testing::Values(Layout{"Fat16WithTable", 16, true, false},
                                         Layout{"Fat32WithTable", 32, true, false},
                                         Layout{"BareFat16", 16, false, false},
                                         Layout{"Fat16WithTableInVhd", 16, true, true}),
                         [](const testing::TestParamInfo<Layout>& info)
                         { return std::string(info.param.name); });

using DiskImage = FatTools;

// Without a number, the first FAT partition with a Windows directory (found
// through MSDOS.SYS, hidden as Windows keeps it) is used; a number picks that partition, whatever
// it holds.
TEST_F(DiskImage, UsesThePartitionThatHoldsWindowsOrTheOneNamed)
{
    Disk disk;
    disk.path = support::TempDir() + "/disk.img";
    support::MakeDisk(disk.path, 2048 + 40960 + 83968,
                      {{0x06, 2048, 40960, 16}, {0x0C, 2048 + 40960, 83968, 32}, {0x83, 1, 1, 0}});
    disk.offset = (2048 + 40960) * 512;
    AddWindows(disk, "/WIN95", "registry");
    PutFile(disk.path, disk.offset, "::/MSDOS.SYS",
            "[Options]\r\nBootGUI=1\r\n[paths]\r\n"
            "WinBootDir=C:\\WIN95\r\nWinDir = C:\\WIN95\r\n");
    std::string error;
    ASSERT_EQ(RunTool({"mattrib", "-i", InImage(disk.path, disk.offset), "+r", "+h", "+s",
                       "::/MSDOS.SYS"},
                      error),
              0)
        << error;
    win95::Fault fault;
    auto chosen = Open(disk.path, 0, fault);
    ASSERT_TRUE(chosen) << Line(fault);
    EXPECT_TRUE(chosen->Exists("\\WIN95\\SYSTEM.DAT", fault));
    chosen.reset();
    auto named = Open(disk.path, 1, fault);
    ASSERT_TRUE(named) << Line(fault);
    EXPECT_FALSE(named->Exists("\\WIN95", fault));
    named.reset();
    EXPECT_FALSE(Open(disk.path, 3, fault));
    EXPECT_EQ(Line(fault), disk.path + ": partition 3 is not a FAT16 or FAT32 partition");

    support::MakeDisk(disk.path, 2048 + 40960, {{0x06, 2048, 40960, 16}});
    EXPECT_FALSE(Open(disk.path, 0, fault));
    EXPECT_EQ(Line(fault), disk.path + ": partition 1 holds no Windows 9x: the Windows directory "
                                       "C:\\WINDOWS does not exist");
}

// Answers come from each folder's listing, read once: our own writes must
// show in them, whichever spelling of a folder or file they went through,
// and a short alias (which no listing shows) must still be found.
TEST_F(DiskImage, LooksAfterWritesMatchTheImageUnderEverySpelling)
{
    const Disk disk = MakeWindowsDisk({"", 16, false, false}, "registry");
    std::string output;
    ASSERT_EQ(
        RunTool({"mmd", "-i", InImage(disk.path, disk.offset), "::/WINDOWS/Long Folder"}, output),
        0)
        << output;
    PutFile(disk.path, disk.offset, "::/WINDOWS/Long Folder/A.TXT", "a");
    PutFile(disk.path, disk.offset, "::/WINDOWS/Long Name.txt", "n");
    win95::Fault fault;
    auto image = Open(disk.path, 0, fault);
    ASSERT_TRUE(image) << Line(fault);

    EXPECT_TRUE(image->Exists("\\WINDOWS\\LONGNA~1.TXT", fault));
    EXPECT_TRUE(image->IsFolder("\\WINDOWS\\longfo~1", fault));
    EXPECT_TRUE(image->Exists("\\WINDOWS\\Long Folder\\A.TXT", fault));
    ASSERT_TRUE(image->Rename("\\WINDOWS\\LONGFO~1\\A.TXT", "\\WINDOWS\\LONGFO~1\\B.TXT", fault))
        << Line(fault);
    EXPECT_FALSE(image->Exists("\\WINDOWS\\Long Folder\\A.TXT", fault));
    EXPECT_TRUE(image->Exists("\\WINDOWS\\long folder\\b.txt", fault));
    ASSERT_TRUE(image->Remove("\\WINDOWS\\Long Folder\\B.TXT", fault)) << Line(fault);
    EXPECT_FALSE(image->Exists("\\WINDOWS\\LONGFO~1\\B.TXT", fault));
    ASSERT_TRUE(image->Rename("\\WINDOWS\\LONGNA~1.TXT", "\\WINDOWS\\SHORT.TXT", fault))
        << Line(fault);
    std::vector<std::string> names;
    ASSERT_TRUE(image->List("\\WINDOWS", names, fault)) << Line(fault);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"INF", "Long Folder", "SHORT.TXT", "SYSTEM.DAT"}));
    ASSERT_TRUE(image->Remove("\\WINDOWS\\Long Folder", fault)) << Line(fault);
    EXPECT_FALSE(image->IsFolder("\\WINDOWS\\Long Folder", fault));
    EXPECT_FALSE(image->Exists("\\WINDOWS\\LONGFO~1\\A.TXT", fault));
    EXPECT_EQ(fault.what, "");
}

// Signals for the run's whole process group, as a terminal sends them,
// arrive all the while: the run's own waits go on after each interruption,
// and no mtools program is stopped halfway through writing.
TEST_F(DiskImage, SignalsToTheRunsGroupStopNoWrite)
{
    const Disk disk = MakeWindowsDisk({"", 16, false, false}, "registry");
    const std::string big = Binary(8 << 20);
    const pid_t run = fork();
    if (run == 0)
    {
        setpgid(0, 0);
        struct sigaction noted = {};
        noted.sa_handler = [](int) {};
        sigaction(SIGINT, &noted, nullptr);
        noted.sa_handler = [](int) { kill(0, SIGINT); };
        sigaction(SIGALRM, &noted, nullptr);
        const itimerval often = {{0, 500}, {0, 500}};
        setitimer(ITIMER_REAL, &often, nullptr);
        win95::Fault fault;
        std::string back;
        auto image = Open(disk.path, 0, fault);
        const bool done = image && image->CreateFile("\\WINDOWS\\BIG.BIN", big, fault) &&
                          image->Flush(fault) &&
                          image->ReadFile("\\WINDOWS\\BIG.BIN", back, fault) && back == big;
        _exit(done ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(run, &status, 0), run);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(support::FsckProblems(disk.path, disk.offset, disk.bytes), "");
}

// A process holding a lock on any byte of the image, as QEMU does with OFD
// read locks, or a flock lock, keeps us out; so does our own run.
TEST_F(DiskImage, RefusesAnImageThatAnotherProgramHoldsLocked)
{
    const Disk disk = MakeWindowsDisk({"", 16, false, false}, "registry");
    const std::string before = ReadFile(disk.path);
    for (bool ofd : {true, false})
    {
        int ready[2], done[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(done), 0);
        const pid_t holder = fork();
        if (holder == 0)
        {
            const int fd = open(disk.path.c_str(), O_RDWR);
            struct flock byte = {};
            byte.l_type = F_RDLCK;
            byte.l_whence = SEEK_SET;
            byte.l_start = 100;
            byte.l_len = 1;
            const bool locked = ofd ? fcntl(fd, F_OFD_SETLK, &byte) == 0 : flock(fd, LOCK_SH) == 0;
            char c = locked ? 'y' : 'n';
            if (write(ready[1], &c, 1) == 1)
                c = read(done[0], &c, 1) == 1 ? c : 'n';
            _exit(0);
        }
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        ASSERT_EQ(c, 'y');
        win95::Fault fault;
        EXPECT_FALSE(Open(disk.path, 0, fault));
        EXPECT_EQ(Line(fault), disk.path + ": in use by another program (it holds a lock on the "
                                           "image); close it first");
        EXPECT_EQ(write(done[1], "x", 1), 1);
        waitpid(holder, nullptr, 0);
        for (int fd : {ready[0], ready[1], done[0], done[1]})
            close(fd);
    }
    win95::Fault fault;
    auto first = Open(disk.path, 0, fault);
    ASSERT_TRUE(first) << Line(fault);
    const pid_t second = fork();
    if (second == 0)
    {
        // Its copy of the first image's descriptor would hold that lock too.
        for (int fd = 3; fd < 1024; ++fd)
            close(fd);
        _exit(Open(disk.path, 0, fault) ? 0 : 1);
    }
    usleep(300 * 1000);
    EXPECT_EQ(waitpid(second, nullptr, WNOHANG), 0) << "another of our runs must wait its turn";
    first.reset();
    int status = -1;
    EXPECT_EQ(waitpid(second, &status, 0), second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(ReadFile(disk.path) == before);
}

// mcopy exits with 0 after some writes that failed ("plain_io: File too
// large"): a file counts as created only when it reads back whole, and
// what stopped it is named. The file size limit falls, one place after
// another, on each part of the new file and of the tables that list it.
TEST_F(DiskImage, CreatedFileCountsOnlyWhenItReadsBack)
{
    const support::WindowsDisk disk =
        support::MakeWindowsDisk(support::Fixture("default.reg"), 16, false, 81920);
    const std::string content = Binary(7168);
    int refused = 0;
    for (rlim_t kilobytes = 1024; kilobytes <= 1280; kilobytes += 8)
    {
        const pid_t child = fork();
        if (child == 0)
        {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {kilobytes * 1024, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &limit);
            win95::Fault fault;
            std::string back;
            auto image = Open(disk.path, 0, fault);
            if (!image)
                _exit(3);
            if (!image->CreateFile("\\WIN\\NEW.BIN", content, fault))
                _exit(fault.what.find("file too large") != std::string::npos ? 1 : 4);
            _exit(image->ReadFile("\\WIN\\NEW.BIN", back, fault) && back == content ? 0 : 2);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << kilobytes << " KB: " << status;
        EXPECT_LE(WEXITSTATUS(status), 1) << kilobytes
                                          << " KB: 2 = created but not whole, 3 = "
                                             "not opened, 4 = not named \"file too large\"";
        refused += WEXITSTATUS(status) == 1;
        std::string output;
        RunTool({"mdel", "-i", disk.inImage, "::/WIN/NEW.BIN"}, output);
    }
    EXPECT_GT(refused, 0);
}

// What a damaged disk or a wrong file looks like: refused in one line,
// with the file left as it was.
TEST_F(DiskImage, RefusesMalformedImagesInOneLine)
{
    const Disk disk = MakeWindowsDisk({"", 16, true, false}, "registry");
    const std::string good = ReadFile(disk.path);
    std::string garbage(1 << 20, '\0');
    std::mt19937 random(3);
    for (char& c : garbage)
        c = static_cast<char>(random());
    std::string noTable = good;
    noTable.replace(446, 64, 64, '\0');
    std::string shrunk = good;
    shrunk[446 + 12] = '\x10'; // the partition now ends before its file system
    shrunk[446 + 13] = '\x00';
    shrunk[446 + 14] = '\x00';
    std::string dynamicVhd = good + std::string(512, '\0');
    dynamicVhd.replace(good.size(), 8, "conectix");
    dynamicVhd[good.size() + 63] = 3;
    const struct
    {
        const char* what;
        std::string image;
        std::string error;
    } cases[] = {
        {"cut short", good.substr(0, good.size() / 2),
         "partition 1 runs past the end of the image"},
        {"no partitions", noTable, "no FAT16 or FAT32 partition holds a Windows directory"},
        {"garbage", garbage, "neither a FAT partition nor a disk with a partition table"},
        {"partition too small", shrunk, "partition 1 is smaller than its file system"},
        {"dynamic VHD", dynamicVhd,
         "a dynamic or differencing VHD without the copy of its footer at its start"},
        {"tiny", "short", "too small to be a disk image"},
    };
    for (const auto& bad : cases)
    {
        support::WriteFile(disk.path, bad.image);
        win95::Fault fault;
        EXPECT_FALSE(Open(disk.path, 0, fault)) << bad.what;
        EXPECT_EQ(Line(fault), disk.path + ": " + bad.error) << bad.what;
        EXPECT_TRUE(ReadFile(disk.path) == bad.image) << bad.what;
    }
}

} // namespace
