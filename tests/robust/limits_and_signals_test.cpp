// Resources that run out and signals that arrive: a run reports what
// stopped it in one line and ends with status 0, the machine is as it was
// or as the run meant to leave it, and no temporary image is left.
#include "processes.h"
#include "support/diskimages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using support::Entries;
using support::Fixture;
using support::ImageOf;
using support::InfDir;
using support::Program;
using support::RunProgram;

const std::vector<std::string> install = {"/D1", "/P\"LPT1:\""};

// Exactly one line about the machine, the image as it was, nothing on C:.
void ExpectMachineLeftAlone(const support::RunResult& result, const std::string& machine,
                            const std::string& image, const std::string& what)
{
    EXPECT_EQ(0, result.exitStatus) << what;
    EXPECT_EQ(1u, robust::MachineReports(result.errorOutput, machine).size())
        << what << ": " << result.errorOutput;
    EXPECT_TRUE(ImageOf(machine) == image) << what << ": the image was changed";
    EXPECT_FALSE(support::FileExists(machine + "/registry.reg.new")) << what;
    EXPECT_EQ(0u, Entries(InfDir(machine)).size()) << what;
}

TEST(LimitsAndSignals, RemoverGoesOnWhenNobodyReadsItsTrace)
{
    std::string machine = support::MachineWithImage(Fixture("prnpurge/three_printers.reg"));
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    close(ends[0]);
    pid_t child = fork();
    if (child == 0)
    {
        dup2(ends[1], 2);
        setenv("WIN95PREFIX", machine.c_str(), 1);
        std::string program = Program("prnpurge");
        execl(program.c_str(), program.c_str(), "/D\"TVDRV\"", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(std::string::npos, ImageOf(machine).find("\\Printers\\Tavrine]"));
}

// The report a user asked for is part of the run: standard output that
// takes no more is said in one line, and WIN95STRICT=1 makes it count.
TEST(LimitsAndSignals, ReportThatCannotBeWrittenIsSaid)
{
    std::string machine = support::MachineWithImage(Fixture("default.reg"));
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    pid_t child = fork();
    if (child == 0)
    {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        dup2(ends[1], 2);
        close(ends[0]);
        setenv("WIN95PREFIX", machine.c_str(), 1);
        setenv("WIN95REPORT", "1", 1);
        setenv("WIN95STRICT", "1", 1);
        std::string program = Program("prnsetup");
        execl(program.c_str(), program.c_str(), "/D1", "/P\"LPT1:\"", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    std::string said;
    char piece[256];
    for (ssize_t got; (got = read(ends[0], piece, sizeof piece)) > 0;)
        said.append(piece, static_cast<std::size_t>(got));
    close(ends[0]);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_EQ("prnsetup: standard output: cannot write the report of what the run changed: No "
              "space left on device\n",
              said);
}

TEST(LimitsAndSignals, FileSizeLimitFailsTheSave)
{
    std::string image = Fixture("default.reg");
    std::string machine = support::MachineWithImage(image);
    rlimit before;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &before));
    rlimit limited = before;
    limited.rlim_cur = image.size() / 2;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    support::RunResult result = RunProgram(Program("prnsetup"), install, machine);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &before));
    ExpectMachineLeftAlone(result, machine, image, "file size limit");
}

// A copy of the file that leaves its runs of zeros unwritten, as holes.
void CopySparse(const std::string& from, const std::string& to)
{
    const std::string bytes = support::ReadFile(from);
    const int fd = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << to;
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(bytes.size())));
    const std::size_t block = 4096;
    for (std::size_t at = 0; at < bytes.size(); at += block)
    {
        const std::string piece = bytes.substr(at, block);
        if (piece.find_first_not_of('\0') == std::string::npos)
            continue;
        ASSERT_EQ(static_cast<ssize_t>(piece.size()),
                  pwrite(fd, piece.data(), piece.size(), static_cast<off_t>(at)));
    }
    close(fd);
}

// A run on a disk image that cannot write all it has to writes nothing:
// the image stays byte for byte as it was, one line says why, and
// WIN95STRICT=1 makes the run exit with 1. mcopy exits with 0 after a
// write cut off by either cause, which once left SYSTEM.DAT as zeros.
void ExpectDiskLeftAlone(const support::RunResult& result, const support::WindowsDisk& disk,
                         const std::string& before, const std::string& reason)
{
    EXPECT_EQ(1, result.exitStatus) << reason;
    EXPECT_EQ(1u, robust::MachineReports(result.errorOutput, disk.path).size())
        << reason << ": " << result.errorOutput;
    EXPECT_NE(std::string::npos, result.errorOutput.find(reason)) << result.errorOutput;
    EXPECT_TRUE(support::ReadFile(disk.path) == before) << reason << ": the image was changed";
}

// The file size limit at several places of a 40 MB FAT16 image (the new
// SYSTEM.DAT lands just past 1124 KB), and a sparse image on a full host
// file system: a small tmpfs, which needs root to mount.
TEST(LimitsAndSignals, DiskImageThatCannotBeWrittenIsLeftAsItWas)
{
    const std::string missing = support::MissingFatTool();
    if (!missing.empty())
        GTEST_SKIP() << missing << " cannot be run: install mtools and dosfstools";
    for (rlim_t kilobytes : {1124, 1200, 4096})
    {
        support::WindowsDisk disk =
            support::MakeWindowsDisk(Fixture("default.reg"), 16, false, 81920);
        const std::string before = support::ReadFile(disk.path);
        rlimit saved;
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
        rlimit limited = saved;
        limited.rlim_cur = kilobytes * 1024;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
        support::RunResult result =
            RunProgram(Program("prnsetup"), install, disk.path, {"WIN95STRICT=1"});
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
        ExpectDiskLeftAlone(result, disk, before, "file too large");
    }

    const std::string host = support::TempDir();
    if (mount("tmpfs", host.c_str(), "tmpfs", 0, "size=2m") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs for a full disk: " << std::strerror(errno);
    support::WindowsDisk disk = support::MakeWindowsDisk(Fixture("default.reg"), 16, false, 81920);
    const std::string inside = host + "/disk.img";
    CopySparse(disk.path, inside);
    const std::string before = support::ReadFile(inside);
    const int filler = open((host + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    const std::string zeros(4096, '\0');
    while (write(filler, zeros.data(), zeros.size()) > 0)
        continue;
    close(filler);
    disk.path = inside;
    support::RunResult result = RunProgram(Program("prnsetup"), install, inside, {"WIN95STRICT=1"});
    ExpectDiskLeftAlone(result, disk, before, "disk full");
    EXPECT_EQ(0, umount2(host.c_str(), MNT_DETACH));
}

// An image far larger than a machine reads is refused before any of it
// is read: a sparse file, so that the test costs no disk.
TEST(LimitsAndSignals, ImageOverTheLimitIsRefusedUnread)
{
    std::string machine = support::MachineWithImage(Fixture("default.reg"));
    std::string image = machine + "/registry.reg";
    const off_t size = (off_t{1} << 30) + 1;
    ASSERT_EQ(0, truncate(image.c_str(), size));
    support::RunResult result = RunProgram(Program("prnsetup"), install, machine);
    EXPECT_EQ(0, result.exitStatus);
    std::vector<std::string> reports = robust::MachineReports(result.errorOutput, machine);
    ASSERT_EQ(1u, reports.size()) << result.errorOutput;
    EXPECT_NE(std::string::npos, reports[0].find("1073741825 bytes")) << reports[0];
    struct stat info;
    ASSERT_EQ(0, stat(image.c_str(), &info));
    EXPECT_EQ(size, info.st_size);
    EXPECT_EQ(0u, Entries(InfDir(machine)).size());
}

TEST(LimitsAndSignals, OutOfMemoryLeavesTheMachineAsItWas)
{
    std::string image = Fixture("default.reg");
    std::string machine = support::MachineWithImage(image);
    support::RunResult result =
        RunProgram(Program("prnsetup"), install, machine, {"WIN95_FAULT=memory:1:fail"});
    ExpectMachineLeftAlone(result, machine, image, "out of memory");
}

// A large image is read on two threads; memory running out on either is
// reported as on one.
TEST(LimitsAndSignals, OutOfMemoryWhileReadingALargeImageLeavesTheMachineAsItWas)
{
    std::string image = Fixture("default.reg");
    for (int n = 0; n < 70000; ++n)
        image += "[HKEY_LOCAL_MACHINE\\Big\\" + std::to_string(n) + "]\r\n\"v\"=\"" +
                 std::string(40, 'x') + "\"\r\n\r\n";
    // The first mark is taken before the reading, one more by each piece.
    for (int mark = 2; mark <= 4; ++mark)
    {
        std::string machine = support::MachineWithImage(image);
        support::RunResult result =
            RunProgram(Program("prnsetup"), install, machine,
                       {"WIN95_FAULT=memory:" + std::to_string(mark) + ":fail"});
        ExpectMachineLeftAlone(result, machine, image,
                               "out of memory at mark " + std::to_string(mark));
    }
}

// The signal is sent the moment the temporary image appears; it ends the
// run once the save is done.
TEST(LimitsAndSignals, TerminationDuringTheSaveLeavesNoTemporaryImage)
{
    std::string image = Fixture("default.reg") + "[HKEY_LOCAL_MACHINE\\Large]\r\n\"Blob\"=hex:";
    for (int line = 0; line < 100000; ++line)
        image += "00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n  ";
    image += "ff\r\n\r\n";
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
    {
        std::string machine;
        std::string temporary;
        bool seen = false;
        // A busy machine may miss a save; each try is on a new machine.
        for (int attempt = 0; attempt < 5 && !seen; ++attempt)
        {
            machine = support::MachineWithImage(image);
            temporary = machine + "/registry.reg.new";
            robust::Started run = robust::StartProgram(Program("prnsetup"), install, machine);
            while (!seen && robust::StillRunning(run))
                seen = support::FileExists(temporary);
            if (seen)
                kill(run.pid, signal);
            robust::FinishProgram(run);
        }

        ASSERT_TRUE(seen) << strsignal(signal) << ": no save could be caught";
        EXPECT_FALSE(support::FileExists(temporary)) << strsignal(signal);
        std::string after = ImageOf(machine);
        EXPECT_TRUE(after == image || (after.size() > image.size() &&
                                       after.find("\\Printers\\Tavrine]") != std::string::npos))
            << strsignal(signal) << ": the image is neither old nor new";
    }
}

} // namespace
