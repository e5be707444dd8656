// A Windows 9x installation on an emulator's disk image: its SYSTEM.DAT,
// and the files a run creates on its C: drive, reached inside the image.
//
// A disk image offers no rename over a file, so a save writes the new
// SYSTEM.DAT whole as SYSTEM.TVN with the old one's DOS attributes and
// flushes the image; then the old SYSTEM.DAT becomes the backup
// SYSTEM.TVB (or, once there is one, is removed), and SYSTEM.TVN takes
// its name; last come the new C: files. Nothing is written before the
// image has room for all of it, SYSTEM.TVN is read back whole before it
// replaces anything, and where SYSTEM.TVB's name is a folder's, the save
// is refused, since the old SYSTEM.DAT would have nowhere to go. A save cut short leaves
// SYSTEM.DAT and perhaps a stray SYSTEM.TVN (the registry as it was), or
// only the complete SYSTEM.TVN, which the next Open puts in place.
#pragma once

#include "platform/posix/disk/disk_image.h"
#include "platform/posix/storage/storage.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace win95
{

class DiskInstallation
{
  public:
    // Opens the image (which locks it) at partition 1..4, or at the first
    // partition holding a Windows directory, and finishes a save an
    // earlier run left half done (`finished` then says so). Null, with
    // `fault` (where the image), when the image cannot be used.
    static std::unique_ptr<DiskInstallation> Open(const std::string& image, int partition,
                                                  Fault& fault, bool& finished);
    ~DiskInstallation();
    DiskInstallation(const DiskInstallation&) = delete;
    DiskInstallation& operator=(const DiskInstallation&) = delete;

    // The Windows directory on C: ("\WINDOWS"), and SYSTEM.DAT in it.
    const std::string& WindowsDirectory() const;
    const std::string& SystemDat() const;
    DiskImage& Disk();

    // SYSTEM.DAT's bytes; false, with `fault`, when they cannot be read.
    bool ReadRegistry(std::string& bytes, Fault& fault);

    // A new C: file at that DOS path, created in the image by Save;
    // returns a descriptor for writing it, or -1.
    int Stage(const std::string& dosPath);
    bool Staged(const std::string& dosPath) const;
    // The DOS paths of the staged files, in the order they were staged.
    std::vector<std::string> StagedPaths() const;
    // Gives the file up; false when none is staged there.
    bool Discard(const std::string& dosPath);

    // Saves the registry when it changed, then creates the staged files;
    // false, with `fault` (where the image; what says what was and was not
    // saved), at the first fault.
    bool Save(const Storage& registry, Fault& fault);

  private:
    explicit DiskInstallation(std::unique_ptr<DiskImage> disk);
    bool FinishEarlierSave(bool& finished, Fault& fault);
    bool WriteRegistry(int content, Fault& fault);
    bool CreateStaged(Fault& fault);

    std::unique_ptr<DiskImage> disk_;
    std::string image_; // the image's host path, which leads every message
    std::string windows_, systemDat_, backup_, temporary_;
    bool backupExists_ = false;
    bool backupIsFolder_ = false; // SYSTEM.TVB's name is a folder's, which refuses a save
    unsigned attributes_ = 0;     // SYSTEM.DAT's, which the new one gets
    std::vector<std::pair<std::string, int>> staged_;
};

// The Windows directory of the partition's C: ("\WINDOWS"), as its MSDOS.SYS
// names it, when it holds SYSTEM.DAT, or the SYSTEM.TVN of a save cut
// short. False, with `why` (a few words) when it holds none, or with
// `fault` when that cannot be told.
bool FindWindows(DiskImage& disk, std::string& windows, std::string& why, Fault& fault);

} // namespace win95
