// A drive that is a folder on the host: C: of a machine folder or of a
// Windows 9x C: folder, and Z:, the host's root. No C: path leads out of
// its folder, whatever "..", absolute paths or symbolic links it meets.
//
// A new file a run writes on C: is placed at the commit: it has no name
// until then, and gets one only if the registry was saved. Where the
// file system cannot make a file without a name, it is made under its
// name and removed again if the registry cannot be saved.
#pragma once

#include "platform/posix/machine/drive.h"

#include <string>
#include <vector>

namespace win95
{

class HostDrive final : public Drive
{
  public:
    // Z:: the host's root, whose files are written where they are.
    HostDrive();
    // C: at that host folder, open as `root` (which the drive closes).
    HostDrive(std::string folder, int root);
    ~HostDrive() override;
    HostDrive(const HostDrive&) = delete;
    HostDrive& operator=(const HostDrive&) = delete;

    bool Exists(const DrivePath& path) override;
    int OpenForReading(const DrivePath& path) override;
    int OpenForWriting(const DrivePath& path) override;
    bool Remove(const DrivePath& path) override;

    // Gives each placed file its name, once the registry is saved; a file
    // that cannot be placed is said in one line, and removed.
    void PlaceFiles();
    // Gives up the files the run was to place; those made under their
    // names are removed. A drive closed before PlaceFiles does the same.
    void DropFiles();
    // The Windows paths ("C:\WINDOWS\INF\OEM0.INF") of the placed files.
    std::vector<std::string> Placed() const;

  private:
    // A new file the run places on C:.
    struct PlacedFile
    {
        int folder = -1;        // the folder that gets it, open
        std::string folderPath; // that folder, below the drive's top ("." for the top)
        std::string name;       // its name there
        int fd = -1;            // the file, open
        bool named = false;     // made under its name already
        std::string hostPath;   // its host path, for messages
    };

    // A new file at the place, placed at the commit; a descriptor for
    // writing it, or -1.
    int Create(const std::string& folderPath, const std::string& name);
    // Gives up the file the run places there; false when it places none there.
    bool Discard(const std::string& folderPath, const std::string& name);

    std::string folder_; // the host folder; "/" for Z:
    int root_ = -1;      // that folder, open; -1 for Z:
    std::vector<PlacedFile> placed_;
    bool filesPlaced_ = false; // PlaceFiles has run: the files stay when the drive closes
};

} // namespace win95
