#include "platform/posix/disk/disk_image.h"

#include "platform/posix/disk/mtools.h"
#include "platform/posix/disk/partitions.h"
#include "platform/posix/disk/qemu_view.h"
#include "platform/posix/os/sys.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace win95
{
namespace
{

// The image open for reading and writing, and locked for this run; an
// image in one of QEMU's formats is read through its raw view. Our own
// runs on the image take turns, as on a machine folder; any other
// program's lock keeps us out at once. Null, with `fault`, when it cannot
// be.
std::unique_ptr<MtoolsImage> OpenLocked(const std::string& hostPath, int& fd,
                                        std::uint64_t& fileBytes, Fault& fault)
{
    auto fail = [&](const std::string& what)
    {
        fault = {hostPath, what};
        return nullptr;
    };
    fd = sys::Open(hostPath.c_str(), O_RDWR);
    if (fd < 0)
        return fail(sys::Reason());
    auto image = std::make_unique<MtoolsImage>(fd, hostPath);
    struct stat info;
    if (sys::Fstat(fd, &info) != 0)
        return fail(sys::Reason());
    if (!S_ISREG(info.st_mode))
        return fail("not a disk image file");
    int locked;
    while ((locked = sys::LockWhole(fd)) != 0 && sys::FailedFor(EBUSY))
        sys::Sleep(20);
    if (locked != 0)
        return fail(sys::FailedFor(EAGAIN)
                        ? "in use by another program (it holds a lock on the image); close it first"
                        : std::string("cannot lock: ") + sys::Reason());
    const std::string format = QemuFormatOf(fd, info.st_size);
    if (!format.empty())
    {
        std::unique_ptr<QemuView> view = QemuView::Start(hostPath, format, fault);
        if (!view)
            return nullptr;
        fd = sys::Open(view->Path().c_str(), O_RDWR);
        if (fd < 0)
            return fail("cannot open the view of the disk image: " + std::string(sys::Reason()));
        image->ReadThrough(std::move(view), fd);
        if (sys::Fstat(fd, &info) != 0)
            return fail(sys::Reason());
    }
    fileBytes = static_cast<std::uint64_t>(info.st_size);
    return image;
}

// Chooses the partition of the table in `sector` that the caller wants
// (or partition `partition` when > 0); "" when it is found, else why none
// is, unless `fault` says that cannot be told.
std::string ChoosePartition(MtoolsImage& image, int fd, const unsigned char* sector,
                            std::uint64_t diskBytes, int partition, const PartitionTest& wanted,
                            Fault& fault)
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
        std::string why;
        if (partition > 0 || wanted(image, why, fault) || !fault.what.empty())
            return "";
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

// A bare FAT partition is the whole disk; else the disk starts with a
// partition table.
std::unique_ptr<DiskImage> OpenDiskImage(const std::string& hostPath, int partition,
                                         const PartitionTest& wanted, Fault& fault)
{
    fault = {};
    auto fail = [&](const std::string& what)
    {
        fault = {hostPath, what};
        return nullptr;
    };
    int fd = -1;
    std::uint64_t fileBytes = 0;
    std::uint64_t size = 0;
    std::unique_ptr<MtoolsImage> image = OpenLocked(hostPath, fd, fileBytes, fault);
    if (!image)
        return nullptr;
    std::string why = DiskBytes(fd, fileBytes, size);
    if (!why.empty())
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
        why = FatProblem(fd, {0, size});
        if (!why.empty())
            return fail("the image " + why);
        image->Use(0, size);
        return image;
    }
    why = TableProblem(sector, partition);
    if (why.empty())
        why = ChoosePartition(*image, fd, sector, size, partition, wanted, fault);
    if (!why.empty())
        return fail(why);
    if (!fault.what.empty())
        return nullptr;
    return image;
}

} // namespace win95
