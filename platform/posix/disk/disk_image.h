// The FAT file system inside an emulator's disk image, reached without
// mounting and without root. Paths are DOS paths inside the partition, with
// '\' separators and no drive ("\WINDOWS\SYSTEM.DAT"); component names match
// without regard to ASCII case, as on Windows, against the long name or the
// short (8.3) name. Names may not hold the wildcards * ? [ ].
//
// A call that fails returns false (or null) and fills `fault`: its where
// is the image's host path, its what says what failed, in one line. A
// false answer from Exists or IsFolder that is no failure leaves `fault`
// empty.
#pragma once

#include "platform/posix/os/fault.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace win95
{

class DiskImage
{
  public:
    virtual ~DiskImage() = default;

    // True if any entry (file or folder) of that name exists.
    virtual bool Exists(const std::string& dosPath, Fault& fault) = 0;
    // True if that entry exists and is a folder.
    virtual bool IsFolder(const std::string& dosPath, Fault& fault) = 0;
    // The names in a folder, as stored (long names where present), without
    // "." and "..".
    virtual bool List(const std::string& dosFolder, std::vector<std::string>& names,
                      Fault& fault) = 0;
    // The whole file.
    virtual bool ReadFile(const std::string& dosPath, std::string& bytes, Fault& fault) = 0;
    // Creates a new file (fails if the name is taken) holding these bytes,
    // and reads it back: false when it does not hold them.
    virtual bool CreateFile(const std::string& dosPath, const std::string& bytes, Fault& fault) = 0;
    // The same with what the open file `content` holds from its start (it
    // must not change meanwhile), so that a large file need not be copied.
    virtual bool CreateFileFrom(const std::string& dosPath, int content, Fault& fault) = 0;
    // Renames within one folder; `to` must not exist.
    virtual bool Rename(const std::string& from, const std::string& to, Fault& fault) = 0;
    // Removes a file whatever its attributes, or an empty folder.
    virtual bool Remove(const std::string& dosPath, Fault& fault) = 0;
    // DOS attribute bits (0x01 read-only, 0x02 hidden, 0x04 system, 0x10
    // folder, 0x20 archive); setting changes only 0x01, 0x02, 0x04 and 0x20.
    virtual bool GetAttributes(const std::string& dosPath, unsigned& attributes, Fault& fault) = 0;
    virtual bool SetAttributes(const std::string& dosPath, unsigned attributes, Fault& fault) = 0;
    // Flushes what was written to the image file (fsync).
    virtual bool Flush(Fault& fault) = 0;
    // True when `bytes` of new files can be written without running into
    // the file size limit or, for a sparse image, a full host file system;
    // false ("file too large: ...", "disk full: ...") before anything is
    // written.
    virtual bool RoomFor(uint64_t bytes, Fault& fault) = 0;
};

// Whether the partition in use holds what the caller looks for: true, or
// false with `why` (a few words) when it does not, or with `fault` filled
// when that cannot be told.
using PartitionTest = std::function<bool(DiskImage& disk, std::string& why, Fault& fault)>;

// Opens the image file: a raw disk with an MBR (the first FAT16/FAT32
// partition that passes `wanted`, or partition `partition` 1..4 if > 0),
// a bare FAT partition, or a fixed-size VHD (data + 512-byte footer,
// which is never touched). Refuses an image that looks in use (another
// process holds an OFD, POSIX or flock lock on it, as QEMU does), and
// takes a lock of its own for the run; while another of our runs holds
// the image, it waits for its turn. Null, with `fault`, when it cannot.
std::unique_ptr<DiskImage> OpenDiskImage(const std::string& hostPath, int partition,
                                         const PartitionTest& wanted, Fault& fault);

} // namespace win95
