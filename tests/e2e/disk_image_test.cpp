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

using Disk = support::WindowsDisk;
using support::FileIn;

Disk MakeWindowsDisk(const Layout& layout, const std::string& image)
{
    return support::MakeWindowsDisk(image, layout.fatBits, layout.vhd);
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

// Mistakes about a disk image are named in one line, with what to do
// about them, and the image is left byte for byte as it was; WIN95STRICT=1
// makes such a run exit with 1.
TEST_F(DiskImages, MistakesAreNamedInOneLineAndChangeNothing)
{
    struct Mistake
    {
        const char* what;
        std::vector<std::string> environment;
        std::vector<std::vector<std::string>> mtools; // run on the partition first
        std::string start;                            // written over the image's first bytes
        const char* says;
    };
    const std::string vdi = std::string(0x40, '<') + "\x7f\x10\xda\xbe";
    const Mistake mistakes[] = {
        {"not a number", {"WIN95PARTITION=abc"}, {}, "", "WIN95PARTITION=abc names no partition"},
        {"zero", {"WIN95PARTITION=0"}, {}, "", "WIN95PARTITION=0 names no partition"},
        {"negative", {"WIN95PARTITION=-1"}, {}, "", "WIN95PARTITION=-1 names no partition"},
        {"trailing text", {"WIN95PARTITION=1x"}, {}, "", "WIN95PARTITION=1x names no partition"},
        {"huge", {"WIN95PARTITION=99999999999"}, {}, "", "99999999999 names no partition"},
        {"empty slot",
         {"WIN95PARTITION=3"},
         {},
         "",
         "the partition table has no partition 3; its one partition is 1"},
        {"QCOW2",
         {},
         {},
         "QFI\xfb",
         "in qcow2 format, and qemu-storage-daemon cannot export it: Unsupported qcow2 version 0"},
        {"VDI",
         {},
         {},
         vdi,
         "in vdi format, and qemu-storage-daemon cannot export it: unsupported"},
        {"VMDK", {}, {}, "KDMV", "in vmdk format, and qemu-storage-daemon cannot export it: "},
        {"no Windows directory",
         {},
         {{"mdel", "::/MSDOS.SYS"}},
         "",
         "the Windows directory C:\\WIN98 that its MSDOS.SYS gives does not exist"},
        {"no SYSTEM.DAT",
         {},
         {{"mattrib", "-r", "-h", "-s", "::/WIN/SYSTEM.DAT"}, {"mdel", "::/WIN/SYSTEM.DAT"}},
         "",
         "its Windows directory C:\\WIN holds no SYSTEM.DAT"},
        {"backup name taken by a folder",
         {},
         {{"mmd", "::/WIN/SYSTEM.TVB"}},
         "",
         "C:\\WIN\\SYSTEM.TVB is a folder, where the copy of SYSTEM.DAT"},
        {"no mtools", {"PATH=/nonexistent"}, {}, "", "mtools is not installed"},
    };
    for (const Mistake& mistake : mistakes)
    {
        Disk disk = MakeWindowsDisk({"Fat16", 16, false}, Fixture("default.reg"));
        for (std::vector<std::string> tool : mistake.mtools)
        {
            tool.insert(tool.begin() + 1, {"-i", disk.inImage});
            std::string output;
            ASSERT_EQ(0, RunTool(tool, output)) << mistake.what << ": " << output;
            if (tool[0] == "mdel" && tool.back() == "::/MSDOS.SYS")
                support::PutFile(disk.path, start * 512, "::/MSDOS.SYS",
                                 "[Paths]\r\nWinDir=C:\\WIN98\r\n");
        }
        if (!mistake.start.empty())
        {
            std::string bytes = support::ReadFile(disk.path);
            bytes.replace(0, mistake.start.size(), mistake.start);
            support::WriteFile(disk.path, bytes);
        }
        const std::string before = support::ReadFile(disk.path);
        std::vector<std::string> environment = mistake.environment;
        environment.push_back("WIN95STRICT=1");
        support::RunResult run = support::RunProgram(
            support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, disk.path, environment);
        EXPECT_EQ(1, run.exitStatus) << mistake.what;
        EXPECT_EQ(0u, run.errorOutput.rfind("prnsetup: " + disk.path + ": ", 0))
            << mistake.what << ": " << run.errorOutput;
        EXPECT_EQ(1, std::count(run.errorOutput.begin(), run.errorOutput.end(), '\n'))
            << mistake.what << ": " << run.errorOutput;
        EXPECT_NE(std::string::npos, run.errorOutput.find(mistake.says))
            << mistake.what << ": " << run.errorOutput;
        EXPECT_TRUE(before == support::ReadFile(disk.path)) << mistake.what << ": image changed";
    }
}

// Without its INF folder, the install still saves the registry, and says
// that its setup file was not placed, why, and what to do.
TEST_F(DiskImages, MissingInfFolderIsNamedAfterTheRegistryIsSaved)
{
    Disk disk = MakeWindowsDisk({"Fat16", 16, false}, Fixture("default.reg"));
    std::string output;
    ASSERT_EQ(0, RunTool({"mrd", "-i", disk.inImage, "::/WIN/INF"}, output)) << output;
    const std::string original = FileIn(disk, "/WIN/SYSTEM.DAT");
    support::RunResult run = support::RunProgram(
        support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, disk.path, {"WIN95STRICT=1"});
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ("prnsetup: " + disk.path +
                  ": C:\\WIN\\INF\\OEM0.INF was not placed, though the registry was saved: there "
                  "is no folder C:\\WIN\\INF; make it and run again\n",
              run.errorOutput);
    EXPECT_EQ(original, FileIn(disk, "/WIN/SYSTEM.TVB"));
    EXPECT_NE(original, FileIn(disk, "/WIN/SYSTEM.DAT"));
    EXPECT_EQ("", support::FsckProblems(disk.path, start * 512, disk.bytes));
}

// MSDOS.SYS is read alike on a disk image and on a C: folder: an empty
// WinDir names nothing (it once ended the installer with an uncaught
// exception on a disk image), and the first WinDir that names one counts.
TEST_F(DiskImages, MsdosSysIsReadAlikeOnADiskAndOnAFolder)
{
    const std::string msdosSys = "[Paths]\r\nWinDir=\r\nWinDir=C:\\WIN\r\nWinDir=C:\\OTHER\r\n";
    Disk disk = MakeWindowsDisk({"Fat16", 16, false}, Fixture("default.reg"));
    std::string output;
    ASSERT_EQ(0, RunTool({"mdel", "-i", disk.inImage, "::/MSDOS.SYS"}, output)) << output;
    support::PutFile(disk.path, start * 512, "::/MSDOS.SYS", msdosSys);
    std::string drive = support::InstallationWithImage(Fixture("default.reg"), "WIN");
    support::WriteFile(drive + "/MSDOS.SYS", msdosSys);
    for (const std::string& machine : {disk.path, drive})
    {
        support::RunResult run =
            support::RunProgram(support::Program("prnsetup"), {"/D1", "/P\"LPT1:\""}, machine);
        EXPECT_EQ(0, run.exitStatus) << machine;
        EXPECT_EQ("", run.errorOutput) << machine;
    }
    EXPECT_EQ(support::ReadFile(drive + "/WIN/SYSTEM.DAT"), FileIn(disk, "/WIN/SYSTEM.DAT"));
    EXPECT_EQ(support::ReadFile(drive + "/WIN/INF/OEM0.INF"), FileIn(disk, "/WIN/INF/OEM0.INF"));
}

} // namespace
