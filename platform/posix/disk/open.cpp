#include "platform/posix/disk/disk_image.h"

#include "platform/posix/disk/mtools.h"
#include "platform/posix/disk/partitions.h"
#include "platform/posix/disk/qemu_view.h"
#include "platform/posix/machine/installation.h"
#include "platform/posix/os/sys.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace win95
{
namespace
{

// The image open for reading and writing, and locked for this run; an
// image in one of QEMU's formats is read through its raw view. Our own
// runs on the image take turns, as on a machine folder; any other
// program's lock keeps us out at once. Null, with `why`, when it cannot
// be.
std::unique_ptr<MtoolsImage> OpenLocked(const std::string& hostPath, int& fd,
                                        std::uint64_t& fileBytes, std::string& why)
{
    fd = sys::Open(hostPath.c_str(), O_RDWR);
    if (fd < 0)
    {
        why = sys::Reason();
        return nullptr;
    }
    auto image = std::make_unique<MtoolsImage>(fd, hostPath);
    struct stat info;
    if (sys::Fstat(fd, &info) != 0)
        why = sys::Reason();
    else if (!S_ISREG(info.st_mode))
        why = "not a disk image file";
    if (!why.empty())
        return nullptr;
    int locked;
    while ((locked = sys::LockWhole(fd)) != 0 && sys::FailedFor(EBUSY))
        sys::Sleep(20);
    if (locked != 0)
    {
        why = sys::FailedFor(EAGAIN)
                  ? "in use by another program (it holds a lock on the image); close it first"
                  : std::string("cannot lock: ") + sys::Reason();
        return nullptr;
    }
    const std::string format = QemuFormatOf(fd, info.st_size);
    if (!format.empty())
    {
        std::unique_ptr<QemuView> view = QemuView::Start(hostPath, format, why);
        if (!view)
            return nullptr;
        fd = sys::Open(view->Path().c_str(), O_RDWR);
        if (fd < 0)
        {
            why = "cannot open the view of the disk image: " + std::string(sys::Reason());
            return nullptr;
        }
        image->ReadThrough(std::move(view), fd);
        if (sys::Fstat(fd, &info) != 0)
        {
            why = sys::Reason();
            return nullptr;
        }
    }
    fileBytes = static_cast<std::uint64_t>(info.st_size);
    return image;
}

// Chooses the partition of the table in `sector` that holds Windows (or
// partition `partition` when > 0); "" when one does, or why none does.
std::string ChoosePartition(MtoolsImage& image, int fd, const unsigned char* sector,
                            std::uint64_t diskBytes, int partition, const std::string& hostPath)
{
    std::string firstProblem;
    std::string firstWithout;
    for (int number = 1; number <= 4; ++number)
    {
        if (partition > 0 && number != partition)
            continue;
        Extent extent;
        const std::string problem = PartitionProblem(fd, sector, number, diskBytes, extent);
        if (!problem.empty())
        {
            if (firstProblem.empty() && (partition > 0 || Listed(sector, number)))
                firstProblem = "partition " + std::to_string(number) + " " + problem;
            continue;
        }
        image.Use(extent.offset, extent.bytes);
        std::string windows;
        std::string why;
        if (partition > 0 || FindWindows(image, windows, why))
            return "";
        if (!image.LastError().empty())
            return image.LastError().substr(hostPath.size() + 2);
        if (firstWithout.empty())
            firstWithout = "partition " + std::to_string(number) + " holds no Windows 9x: " + why;
    }
    if (!firstWithout.empty())
        return firstWithout;
    if (!firstProblem.empty())
        return firstProblem;
    return "no FAT16 or FAT32 partition holds a Windows directory";
}

} // namespace

bool FindWindows(DiskImage& disk, std::string& windows, std::string& why)
{
    std::string msdosSys;
    const bool named = disk.Exists("\\MSDOS.SYS");
    if (named && !disk.ReadFile("\\MSDOS.SYS", msdosSys))
        return false;
    windows = WindowsDirectoryFrom(msdosSys);
    if (windows.empty())
        why = "its MSDOS.SYS puts the Windows directory on another drive than C:";
    else if (!disk.IsFolder(windows))
        why = "the Windows directory C:" + windows +
              (named ? " that its MSDOS.SYS gives does not exist" : " does not exist");
    else if (!disk.Exists(windows + "\\SYSTEM.DAT") && !disk.Exists(windows + "\\SYSTEM.TVN"))
        why = "its Windows directory C:" + windows + " holds no SYSTEM.DAT";
    else
        return true;
    return false;
}

// A bare FAT partition is the whole disk; else the disk starts with a
// partition table.
std::unique_ptr<DiskImage> OpenDiskImage(const std::string& hostPath, int partition,
                                         std::string& error)
{
    auto fail = [&](const std::string& why)
    {
        error = hostPath + ": " + why;
        return nullptr;
    };
    int fd = -1;
    std::uint64_t fileBytes = 0;
    std::uint64_t size = 0;
    std::string why;
    std::unique_ptr<MtoolsImage> image = OpenLocked(hostPath, fd, fileBytes, why);
    if (!image || !DiskBytes(fd, fileBytes, size, why))
        return fail(why);
    unsigned char sector[kSector];
    if (size < kSector)
        return fail("too small to be a disk image");
    if (sys::ReadAt(fd, sector, kSector, 0) != kSector)
        return fail(sys::Reason());
    if (FatBytes(sector) != 0)
    {
        if (partition > 1)
            return fail("holds one FAT partition, not a partition table");
        if (!HoldsFat(fd, {0, size}, why))
            return fail("the image " + why);
        image->Use(0, size);
        return image;
    }
    why = TableProblem(sector, partition);
    if (why.empty())
        why = ChoosePartition(*image, fd, sector, size, partition, hostPath);
    if (!why.empty())
        return fail(why);
    return image;
}

} // namespace win95
