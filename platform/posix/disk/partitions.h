// Where in a disk image its FAT file system lies: a raw disk with a
// partition table (MBR), a bare FAT partition, or either followed by a
// fixed VHD's 512-byte footer, which is never touched.
#pragma once

#include <cstdint>
#include <string>

namespace win95
{

constexpr std::uint64_t kSector = 512;

unsigned Le16(const unsigned char* p);
std::uint32_t Le32(const unsigned char* p);
std::uint32_t Be32(const unsigned char* p);

// The size in bytes of the FAT16 or FAT32 file system whose boot sector
// this is; 0 when it is none.
std::uint64_t FatBytes(const unsigned char* boot);

// A partition of the image: where it starts and how many bytes it spans.
struct Extent
{
    std::uint64_t offset;
    std::uint64_t bytes;
};

// The bytes of the image file of `fileBytes` that hold the disk: all but
// a fixed VHD's footer. Why they cannot be told (it cannot be read, or is
// a VHD of another kind); "" when they can.
std::string DiskBytes(int fd, std::uint64_t fileBytes, std::uint64_t& bytes);

// Why the disk's first sector is no partition table to take partition
// `partition` (1..4, or 0 for any) from; "" when it is one.
std::string TableProblem(const unsigned char* sector, int partition);

// Where partition `number` (1..4) of the table lies, and why it cannot
// hold the file system ("is not a FAT16 or FAT32 partition", "runs past
// the end of the image"...); "" when it can.
std::string PartitionProblem(int fd, const unsigned char* sector, int number,
                             std::uint64_t diskBytes, Extent& extent);

// Why no FAT16 or FAT32 file system starts at the extent and ends inside
// it, so that no write could reach past it ("has no boot sector"...); ""
// when one does.
std::string FatProblem(int fd, const Extent& extent);

// True when the table lists partition `number` (1..4).
bool Listed(const unsigned char* sector, int number);

// "its partitions are 1 and 3", from the table's entries in use.
std::string PartitionsListed(const unsigned char* mbr);

} // namespace win95
