// The programs on disk images that emulators keep in QEMU's formats
// (qcow2, an overlay on a backing file, VDI, VMDK, dynamic VHD, VHDX),
// made with qemu-img from a raw disk and checked from outside: qemu-img
// check, the backing file byte for byte, and the disk converted back to
// raw with fsck.fat and the registry read by regconv.
#include "support/diskimages.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace
{

using support::Fixture;
using support::RunTool;

struct Format
{
    const char* name;
    const char* format;  // qemu-img's name for it
    const char* options; // qemu-img convert's -o, or ""
    bool overlay;        // an overlay on a qcow2 backing file
    bool checks;         // qemu-img check can check it
};

const char* const tools[] = {"qemu-img", "qemu-storage-daemon", "setpriv", "cregexport"};

std::string Missing()
{
    for (const char* tool : tools)
        if (std::system(("command -v " + std::string(tool) + " >/dev/null").c_str()) != 0)
            return tool;
    if (!support::FileExists("/dev/fuse"))
        return "/dev/fuse";
    return support::MissingFatTool();
}

struct Disk
{
    std::string folder;
    std::string image;   // what the programs are given
    std::string backing; // the overlay's backing file, or ""
};

// A bare FAT16 partition holding MSDOS.SYS and \WIN with SYSTEM.DAT and
// INF\, in the format asked for.
Disk MakeDisk(const Format& format)
{
    Disk disk;
    disk.folder = support::TempDir();
    const std::string raw = disk.folder + "/raw.img";
    support::MakeBarePartition(raw, 40960, 16);
    std::string output;
    EXPECT_EQ(0, RunTool({"mmd", "-i", raw, "::/WIN", "::/WIN/INF"}, output)) << output;
    support::PutFile(raw, 0, "::/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\WIN\r\n");
    support::PutFile(raw, 0, "::/WIN/SYSTEM.DAT", support::SystemDatOf(Fixture("default.reg")));
    disk.image = disk.folder + "/disk." + format.format;
    std::vector<std::string> convert{"qemu-img", "convert", "-O", format.format};
    if (*format.options != '\0')
        convert.insert(convert.end(), {"-o", format.options});
    if (format.overlay)
    {
        disk.backing = disk.folder + "/base.qcow2";
        convert.insert(convert.end(), {raw, disk.backing});
        EXPECT_EQ(0, RunTool(convert, output)) << output;
        EXPECT_EQ(0, RunTool({"qemu-img", "create", "-q", "-f", "qcow2", "-b", disk.backing, "-F",
                              "qcow2", disk.image},
                             output))
            << output;
    }
    else
    {
        convert.insert(convert.end(), {raw, disk.image});
        EXPECT_EQ(0, RunTool(convert, output)) << output;
    }
    return disk;
}

// The disk's partition as a raw image, and its registry as REGEDIT4 text.
std::string RegistryOf(const Disk& disk, std::string& raw)
{
    raw = disk.folder + "/check.img";
    std::string output;
    EXPECT_EQ(0, RunTool({"qemu-img", "convert", "-O", "raw", disk.image, raw}, output)) << output;
    EXPECT_EQ(0,
              RunTool({"mcopy", "-o", "-i", raw, "::/WIN/SYSTEM.DAT", disk.folder + "/SYSTEM.DAT"},
                      output))
        << output;
    return support::InstallationText(disk.folder + "/SYSTEM.DAT");
}

class QemuFormats : public testing::TestWithParam<Format>
{
  protected:
    void SetUp() override
    {
        const std::string missing = Missing();
        if (!missing.empty())
            GTEST_SKIP() << missing << " is missing: install qemu-utils, qemu-system-common, "
                         << "fuse3, libcreg-utils, mtools and dosfstools";
    }
};

TEST_P(QemuFormats, InstallThenRemoveTouchingOnlyTheImage)
{
    const Format& format = GetParam();
    const Disk disk = MakeDisk(format);
    const std::string backing = disk.backing.empty() ? "" : support::ReadFile(disk.backing);
    std::string raw;
    const std::string before = RegistryOf(disk, raw);

    // The view's private folder goes into the disk's own folder, to see
    // that each run leaves none.
    const std::vector<std::string> views{"XDG_RUNTIME_DIR=" + disk.folder};
    support::RunResult run = support::RunProgram(support::Program("prnsetup"),
                                                 {"/D1", "/P\"LPT1:\""}, disk.image, views);
    EXPECT_EQ("", run.errorOutput);
    const std::string installed = RegistryOf(disk, raw);
    support::ExpectImageChange(before, installed, Fixture("golden/install-d1-lpt1.reg"));
    std::string output;
    EXPECT_EQ(0, RunTool({"cregexport", disk.folder + "/SYSTEM.DAT"}, output));
    EXPECT_NE(std::string::npos,
              output.find("Key path: System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine"))
        << "cregexport does not find the printer";
    EXPECT_EQ(0, RunTool({"mtype", "-i", raw, "::/WIN/INF/OEM0.INF"}, output));
    EXPECT_EQ(support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/prnsetup/WIN95.INF"), output);

    run = support::RunProgram(support::Program("prnpurge"), {"/D\"TVDRV\""}, disk.image, views);
    support::ExpectImageChange(
        installed, RegistryOf(disk, raw),
        "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Tavrine]\r\n");
    EXPECT_EQ("", support::FsckProblems(raw, 0, 40960 * 512));
    const int checked = RunTool({"qemu-img", "check", disk.image}, output);
    if (format.checks)
    {
        EXPECT_EQ(0, checked) << output;
    }
    else
    {
        EXPECT_NE(std::string::npos, output.find("does not support checks")) << output;
    }
    if (!disk.backing.empty())
    {
        EXPECT_TRUE(backing == support::ReadFile(disk.backing)) << "the backing file changed";
    }
    RunTool({"sh", "-c", "mount | grep '" + disk.folder + "' || true"}, output);
    EXPECT_EQ("", output) << "a view is still mounted";
    for (const auto& entry : support::Entries(disk.folder))
        EXPECT_EQ(std::string::npos, entry.first.find("tavrine-view")) << "left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, QemuFormats,
    testing::Values(Format{"Qcow2", "qcow2", "", false, true},
                    Format{"Qcow2Overlay", "qcow2", "", true, true},
                    Format{"Vdi", "vdi", "", false, true}, Format{"Vmdk", "vmdk", "", false, true},
                    Format{"DynamicVhd", "vpc", "subformat=dynamic", false, false},
                    Format{"Vhdx", "vhdx", "", false, true}),
    [](const testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

// An image that QEMU holds is refused in one line and left as it was, and
// so is one whose format needs a program that is not installed.
TEST_F(QemuFormats, RefusesWhatItCannotExport)
{
    const Disk disk = MakeDisk(Format{"Qcow2", "qcow2", "", false, true});
    const std::string image = support::ReadFile(disk.image);
    const std::vector<std::string> install{"/D1", "/P\"LPT1:\""};
    const std::string pid = disk.folder + "/holder.pid";
    std::string output;
    ASSERT_EQ(
        0, RunTool({"qemu-storage-daemon", "--blockdev",
                    "driver=file,node-name=file,filename=" + disk.image, "--blockdev",
                    "driver=qcow2,node-name=disk,file=file", "--nbd-server",
                    "addr.type=unix,addr.path=" + disk.folder + "/nbd", "--export",
                    "type=nbd,id=held,node-name=disk,writable=on", "--daemonize", "--pidfile", pid},
                   output))
        << output;
    support::RunResult run = support::RunProgram(support::Program("prnsetup"), install, disk.image);
    RunTool({"sh", "-c", "kill $(cat '" + pid + "')"}, output);
    EXPECT_EQ("prnsetup: " + disk.image +
                  ": in use by another program (it holds a lock on the image); close it first\n",
              run.errorOutput);

    const std::string path = disk.folder + "/bin";
    RunTool({"mkdir", path}, output);
    RunTool({"ln", "-s", "/usr/bin/setpriv", path + "/setpriv"}, output);
    run = support::RunProgram(support::Program("prnsetup"), install, disk.image, {"PATH=" + path});
    EXPECT_EQ("prnsetup: " + disk.image +
                  ": this disk image is in qcow2 format, which needs qemu-storage-daemon "
                  "(Debian package qemu-system-common), and it is not installed\n",
              run.errorOutput);
    EXPECT_TRUE(image == support::ReadFile(disk.image));

    // No FUSE: /dev/fuse hidden under a plain file, in a mount namespace
    // of this run's own.
    if (geteuid() != 0)
        GTEST_SKIP() << "hiding /dev/fuse needs root";
    const std::string plain = disk.folder + "/plain";
    support::WriteFile(plain, "");
    run = support::RunProgram("/usr/bin/unshare",
                              {"-m", "sh", "-c",
                               "mount --bind '" + plain + "' /dev/fuse && exec \"$0\" \"$@\"",
                               support::Program("prnsetup"), "/D1", "/P\"LPT1:\""},
                              disk.image);
    EXPECT_EQ("prnsetup: " + disk.image +
                  ": this disk image is in qcow2 format, which needs FUSE, and there is no "
                  "/dev/fuse this user may open (is the fuse module loaded?)\n",
              run.errorOutput);
    EXPECT_TRUE(image == support::ReadFile(disk.image));
}

} // namespace

namespace
{

// regconv takes what WIN95PREFIX takes, and exports the SYSTEM.DAT of a
// disk image or of a C: drive folder as it exports that file itself.
TEST_F(QemuFormats, RegconvExportsTheRegistryOfAnInstallation)
{
    const Disk disk = MakeDisk(Format{"Vdi", "vdi", "", false, true});
    const std::string drive = support::InstallationWithImage(Fixture("default.reg"), "WINDOWS");
    const std::string regconv = support::Program("tools/regconv");
    std::string raw;
    RegistryOf(disk, raw);
    for (const auto& [installation, systemDat] :
         {std::pair{disk.image, disk.folder + "/SYSTEM.DAT"},
          std::pair{drive, drive + "/WINDOWS/SYSTEM.DAT"}})
    {
        const std::string folder = support::TempDir();
        support::RunResult run =
            support::RunProgram(regconv, {installation, folder + "/installation.reg"}, folder);
        EXPECT_EQ(0, run.exitStatus) << run.errorOutput;
        run = support::RunProgram(regconv, {systemDat, folder + "/file.reg"}, folder);
        EXPECT_EQ(0, run.exitStatus) << run.errorOutput;
        EXPECT_EQ(support::ReadFile(folder + "/file.reg"),
                  support::ReadFile(folder + "/installation.reg"))
            << installation;
    }
}

} // namespace
