#include "platform/posix/disk/partitions.h"

#include "platform/posix/os/sys.h"

#include <cstring>
#include <vector>

namespace win95
{
namespace
{

const unsigned char* TableEntry(const unsigned char* sector, int number)
{
    return sector + 446 + 16 * (number - 1);
}

bool IsFatPartitionType(unsigned type)
{
    return type == 0x04 || type == 0x06 || type == 0x0E || type == 0x0B || type == 0x0C;
}

} // namespace

unsigned Le16(const unsigned char* p)
{
    return p[0] | p[1] << 8;
}

std::uint32_t Le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(Le16(p)) | static_cast<std::uint32_t>(Le16(p + 2)) << 16;
}

std::uint32_t Be32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// FAT12 and FAT16 are told apart by the count of clusters, as the format
// defines, not by the label in the sector.
std::uint64_t FatBytes(const unsigned char* boot)
{
    const unsigned bytesPerSector = Le16(boot + 11);
    const unsigned perCluster = boot[13];
    const unsigned reserved = Le16(boot + 14);
    const unsigned fats = boot[16];
    const unsigned rootEntries = Le16(boot + 17);
    const std::uint64_t sectors = Le16(boot + 19) != 0 ? Le16(boot + 19) : Le32(boot + 32);
    const std::uint64_t fatSectors = Le16(boot + 22) != 0 ? Le16(boot + 22) : Le32(boot + 36);
    if ((boot[0] != 0xEB && boot[0] != 0xE9) || boot[510] != 0x55 || boot[511] != 0xAA)
        return 0;
    if (bytesPerSector < 512 || bytesPerSector > 4096 ||
        (bytesPerSector & (bytesPerSector - 1)) != 0 || perCluster == 0 ||
        (perCluster & (perCluster - 1)) != 0 || reserved == 0 || fats == 0 || fatSectors == 0)
        return 0;
    const std::uint64_t rootSectors = (rootEntries * 32u + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t system = reserved + fats * fatSectors + rootSectors;
    if (sectors <= system || (sectors - system) / perCluster < 4085)
        return 0;
    return sectors * bytesPerSector;
}

// A fixed-size VHD is the raw disk followed by a 512-byte footer.
std::string DiskBytes(int fd, std::uint64_t fileBytes, std::uint64_t& bytes)
{
    bytes = fileBytes;
    if (fileBytes < 2 * kSector)
        return "";
    unsigned char sector[kSector];
    if (sys::ReadAt(fd, sector, kSector, static_cast<off_t>(fileBytes - kSector)) != kSector)
        return sys::Reason();
    if (std::memcmp(sector, "conectix", 8) != 0)
        return "";
    if (Be32(sector + 60) != 2)
        return "a dynamic or differencing VHD without the copy of its footer at its start";
    bytes -= kSector;
    return "";
}

std::string TableProblem(const unsigned char* sector, int partition)
{
    bool table = sector[510] == 0x55 && sector[511] == 0xAA;
    for (int number = 1; number <= 4; ++number)
        table = table && (TableEntry(sector, number)[0] & 0x7F) == 0;
    if (!table)
        return "neither a FAT partition nor a disk with a partition table";
    if (partition > 4)
        return "a partition table has no partition " + std::to_string(partition);
    if (partition > 0 && !Listed(sector, partition))
        return "the partition table has no partition " + std::to_string(partition) + "; " +
               PartitionsListed(sector);
    return "";
}

std::string PartitionProblem(int fd, const unsigned char* sector, int number,
                             std::uint64_t diskBytes, Extent& extent)
{
    const unsigned char* entry = TableEntry(sector, number);
    extent = {Le32(entry + 8) * kSector, Le32(entry + 12) * kSector};
    std::string problem;
    if (!IsFatPartitionType(entry[4]))
        problem = "is not a FAT16 or FAT32 partition";
    else if (extent.offset == 0)
        problem = "starts on the partition table";
    else if (extent.offset + extent.bytes > diskBytes)
        problem = "runs past the end of the image";
    else
        problem = FatProblem(fd, extent);
    return problem;
}

std::string FatProblem(int fd, const Extent& extent)
{
    unsigned char boot[kSector];
    if (extent.bytes < kSector ||
        sys::ReadAt(fd, boot, kSector, static_cast<off_t>(extent.offset)) != kSector)
        return "has no boot sector";
    const std::uint64_t bytes = FatBytes(boot);
    if (bytes == 0)
        return "holds no FAT16 or FAT32 file system";
    if (bytes > extent.bytes)
        return "is smaller than its file system";
    return "";
}

bool Listed(const unsigned char* sector, int number)
{
    return TableEntry(sector, number)[4] != 0;
}

std::string PartitionsListed(const unsigned char* mbr)
{
    std::vector<std::string> numbers;
    for (int number = 1; number <= 4; ++number)
        if (Listed(mbr, number))
            numbers.push_back(std::to_string(number));
    if (numbers.empty())
        return "it lists none";
    std::string listed = numbers.size() == 1 ? "its one partition is " : "its partitions are ";
    for (std::size_t at = 0; at < numbers.size(); ++at)
        listed += (at == 0 ? "" : at + 1 == numbers.size() ? " and " : ", ") + numbers[at];
    return listed;
}

} // namespace win95
