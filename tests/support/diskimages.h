// Emulator disk images for the tests, built with Debian's mkfs.fat and
// filled and checked with mtools and fsck.fat, independently of the code
// under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace support
{

// Empty when mkfs.fat, fsck.fat and the mtools programs can all be run;
// otherwise the name of one that cannot.
std::string MissingFatTool();

// Runs a program found in PATH with MTOOLS_SKIP_CHECK=1 in its environment;
// its exit status (-1 if it did not exit), with standard output and error
// together in `output`.
int RunTool(const std::vector<std::string>& argv, std::string& output);

struct Partition
{
    unsigned type;    // the partition table's type byte
    uint32_t start;   // first sector
    uint32_t sectors; // length in sectors
    int fatBits;      // 16 or 32 to format it, 0 to leave it blank
};

// A sparse image of `sectors` 512-byte sectors: each partition formatted at
// its place, then a partition table (MBR) listing them.
void MakeDisk(const std::string& path, uint64_t sectors, const std::vector<Partition>& partitions);
// A sparse image holding one FAT file system and no partition table.
void MakeBarePartition(const std::string& path, uint32_t sectors, int fatBits);
// Appends the 512-byte footer that makes a raw image a fixed-size VHD.
void AppendVhdFooter(const std::string& path);

// "image@@offset", the way mtools names a partition inside an image.
std::string InImage(const std::string& image, uint64_t offset);
// Copies a host file to a DOS path ("::/WINDOWS/SYSTEM.DAT") with mcopy.
void PutFile(const std::string& image, uint64_t offset, const std::string& dosPath,
             const std::string& bytes);

// A disk with an MBR and one partition from sector 2048 holding MSDOS.SYS
// that names C:\WIN, and \WIN\ with INF\ and SYSTEM.DAT (the image's
// HKEY_LOCAL_MACHINE; read-only, hidden, system, as Windows keeps it).
struct WindowsDisk
{
    std::string path;
    std::string inImage; // the partition, as mtools names it
    uint64_t offset = 0; // the partition's place and size in bytes
    uint64_t bytes = 0;
};
WindowsDisk MakeWindowsDisk(const std::string& image, int fatBits = 16, bool vhd = false,
                            uint32_t sectors = 0);
// A file of the disk's partition, read with mtools; "(none)" when it is missing.
std::string FileIn(const WindowsDisk& disk, const std::string& dosPath);

// Runs fsck.fat -n on a copy of the `bytes` bytes at `offset`; its report
// when it finds anything, empty when the file system is clean.
std::string FsckProblems(const std::string& image, uint64_t offset, uint64_t bytes);

} // namespace support
