// The programs on an emulator's disk image holding a Windows 9x
// installation: install and remove through SYSTEM.DAT inside the FAT file
// system, checked from outside with mtools, cregexport and fsck.fat.
#include "support/diskimages.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace
{

using support::Fixture;
using support::RunTool;

constexpr std::uint64_t start = 2048; // the partition's first sector

struct Layout
{
    const char* name;
    int fatBits;
    bool vhd;
};

struct Disk
{
    std::string path;
    std::string inImage; // the partition, as mtools names it
    std::uint64_t bytes = 0;
};

// A disk with an MBR and one partition holding MSDOS.SYS and \WIN\ with
// SYSTEM.DAT (read-only, hidden, system, as Windows keeps it) and INF\.
Disk MakeWindowsDisk(const Layout& layout, const std::string& image)
{
    Disk disk;
    disk.path = support::TempDir() + "/disk.img";
    const std::uint32_t sectors = layout.fatBits == 32 ? 83968 : 40960;
    support::MakeDisk(disk.path, start + sectors,
                      {{layout.fatBits == 32 ? 0x0Cu : 0x06u, start, sectors, layout.fatBits}});
    disk.inImage = support::InImage(disk.path, start * 512);
    disk.bytes = std::uint64_t{sectors} * 512;
    std::string output;
    for (const char* folder : {"::/WIN", "::/WIN/INF"})
        EXPECT_EQ(0, RunTool({"mmd", "-i", disk.inImage, folder}, output)) << output;
    support::PutFile(disk.path, start * 512, "::/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN\r\n");
    support::PutFile(disk.path, start * 512, "::/WIN/SYSTEM.DAT", support::SystemDatOf(image));
    EXPECT_EQ(
        0, RunTool({"mattrib", "-i", disk.inImage, "+r", "+h", "+s", "::/WIN/SYSTEM.DAT"}, output))
        << output;
    if (layout.vhd)
        support::AppendVhdFooter(disk.path);
    return disk;
}

// A file of the partition, read with mtools; "(none)" when it is missing.
std::string FileIn(const Disk& disk, const std::string& dosPath)
{
    std::string bytes;
    return RunTool({"mtype", "-i", disk.inImage, "::" + dosPath}, bytes) == 0 ? bytes : "(none)";
}

// The registry of the disk as REGEDIT4 text; cregexport's listing of it,
// when cregexport is there, in `exported`.
std::string RegistryOf(const Disk& disk, std::string& exported)
{
    std::string host = support::TempDir() + "/SYSTEM.DAT";
    support::WriteFile(host, FileIn(disk, "/WIN/SYSTEM.DAT"));
    exported.clear();
    if (support::FileExists("/usr/bin/cregexport"))
    {
        EXPECT_EQ(0, RunTool({"cregexport", host}, exported)) << exported.substr(0, 2000);
    }
    return support::InstallationText(host);
}

std::string Attributes(const Disk& disk, const std::string& dosPath)
{
    std::string output;
    RunTool({"mattrib", "-i", disk.inImage, "::" + dosPath}, output);
    return output.substr(0, output.find(':'));
}

class DiskImages : public testing::TestWithParam<Layout>
{
  protected:
    void SetUp() override
    {
        std::string missing = support::MissingFatTool();
        if (!missing.empty())
            GTEST_SKIP() << missing << " cannot be run: install mtools and dosfstools";
    }
};

TEST_P(DiskImages, InstallThenRemove)
{
    Disk disk = MakeWindowsDisk(GetParam(), Fixture("default.reg"));
    std::string original = FileIn(disk, "/WIN/SYSTEM.DAT");
    std::string exported;
    std::string before = RegistryOf(disk, exported);
    std::string footer = support::ReadFile(disk.path).substr(start * 512 + disk.bytes);

    support::RunResult run =
        support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, disk.path);
    EXPECT_EQ("", run.errorOutput);
    std::string installed = RegistryOf(disk, exported);
    if (!exported.empty())
    {
        EXPECT_NE(std::string::npos, exported.find("Printers\\Tavrine")) << exported;
    }
    support::ExpectImageChange(before, installed, Fixture("golden/install-d1-lpt1.reg"));
    EXPECT_EQ(support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF"),
              FileIn(disk, "/WIN/INF/OEM0.INF"));
    EXPECT_EQ(original, FileIn(disk, "/WIN/SYSTEM.TVB"));
    EXPECT_EQ(Attributes(disk, "/WIN/SYSTEM.TVB"), Attributes(disk, "/WIN/SYSTEM.DAT"));
    EXPECT_NE(std::string::npos, Attributes(disk, "/WIN/SYSTEM.DAT").find("SHR"));
    EXPECT_EQ("", support::FsckProblems(disk.path, start * 512, disk.bytes));

    run = support::RunProgram(support::Program("prnpurge"), {"/D\"TVDRV\""}, disk.path);
    support::ExpectImageChange(
        installed, RegistryOf(disk, exported),
        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]\r\n");
    EXPECT_EQ(original, FileIn(disk, "/WIN/SYSTEM.TVB"));
    EXPECT_EQ("(none)", FileIn(disk, "/WIN/SYSTEM.TVN"));
    EXPECT_EQ("", support::FsckProblems(disk.path, start * 512, disk.bytes));
    EXPECT_EQ(footer, support::ReadFile(disk.path).substr(start * 512 + disk.bytes));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DiskImages,
                         testing::Values(Layout{"Fat16", 16, false}, Layout{"Fat32", 32, false},
                                         Layout{"Fat16Vhd", 16, true}),
                         [](const testing::TestParamInfo<Layout>& info)
                         { return std::string(info.param.name); });

// A run killed, or failing, at any of its calls that start mtools leaves
// the registry old, or new but for the setup file, or SYSTEM.DAT missing
// with the new one complete as SYSTEM.TVN; the next run puts that in
// place, and ends with the same registry, the setup file placed, the first
// backup kept and a clean file system.
TEST_F(DiskImages, FaultsAtEveryCallAreCompletedByTheNextRun)
{
    Disk reference = MakeWindowsDisk({"Fat16", 16, false}, Fixture("default.reg"));
    std::vector<std::string> install = {"/D1", "/P\"LPT1:\""};
    std::string trace = support::TempDir() + "/calls";
    support::RunProgram(support::Program("prnsetup"), install, reference.path,
                        {"WIN95_FAULT_TRACE=" + trace});
    std::string calls = support::ReadFile(trace);
    std::size_t spawns = 0;
    for (std::size_t at = calls.find("spawn\n"); at != std::string::npos;
         at = calls.find("spawn\n", at + 1))
        ++spawns;
    ASSERT_GT(spawns, 5u);
    std::string after = FileIn(reference, "/WIN/SYSTEM.DAT");
    std::string inf = FileIn(reference, "/WIN/INF/OEM0.INF");
    for (std::size_t at = 1; at <= spawns; ++at)
        for (const char* mode : {"crash", "fail"})
        {
            std::string what = "spawn:" + std::to_string(at) + ":" + mode;
            Disk disk = MakeWindowsDisk({"Fat16", 16, false}, Fixture("default.reg"));
            std::string original = FileIn(disk, "/WIN/SYSTEM.DAT");
            support::RunResult faulty = support::RunProgram(support::Program("prnsetup"), install,
                                                            disk.path, {"WIN95_FAULT=" + what});
            EXPECT_EQ(std::string(mode) == "crash" ? -1 : 0, faulty.exitStatus) << what;
            std::string left = FileIn(disk, "/WIN/SYSTEM.DAT");
            std::string pending = FileIn(disk, "/WIN/SYSTEM.TVN");
            EXPECT_TRUE(left == original || left == after || (left == "(none)" && pending == after))
                << what;

            support::RunResult next =
                support::RunProgram(support::Program("prnsetup"), install, disk.path);
            EXPECT_EQ(after, FileIn(disk, "/WIN/SYSTEM.DAT"))
                << what << "; the next run said: " << next.errorOutput;
            EXPECT_EQ("(none)", FileIn(disk, "/WIN/SYSTEM.TVN")) << what;
            EXPECT_EQ(inf, FileIn(disk, "/WIN/INF/OEM0.INF")) << what;
            EXPECT_EQ(original, FileIn(disk, "/WIN/SYSTEM.TVB")) << what;
            EXPECT_EQ("", support::FsckProblems(disk.path, start * 512, disk.bytes)) << what;
        }
}

// An image another program holds (as QEMU does) is refused with one line.
TEST_F(DiskImages, ImageInUseIsLeftAlone)
{
    Disk disk = MakeWindowsDisk({"Fat32", 32, false}, Fixture("default.reg"));
    std::string bytes = support::ReadFile(disk.path);
    int fd = open(disk.path.c_str(), O_RDWR);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(0, fcntl(fd, F_OFD_SETLK, &lock));
    support::RunResult run =
        support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, disk.path);
    close(fd);
    EXPECT_EQ(1, std::count(run.errorOutput.begin(), run.errorOutput.end(), '\n'))
        << run.errorOutput;
    EXPECT_TRUE(bytes == support::ReadFile(disk.path));
}

} // namespace
