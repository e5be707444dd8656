// Windows paths on the emulated machine: C: is the machine's drive_c
// folder, Z: is the host's root, as in Wine. No C: path leads out of
// drive_c, whatever "..", absolute paths or symbolic links it meets.
#pragma once

#include <string>
#include <sys/types.h>

namespace win95
{

// Where a Windows path leads on the host.
struct HostPlace
{
    int root = -1;       // drive C:'s folder, open (the machine's); -1 for Z:
    std::string folder;  // the folder holding the last component: below root
                         // for C: ("." for its top), absolute for Z:
    std::string name;    // the last component, matched for case; empty for a drive's top
    bool exists = false; // an entry of that name (of any kind) is in the folder
};

// Finds the place of a Windows path; false when it names no drive of the
// machine. Each existing component is matched without regard to case,
// "." and ".." are resolved, and ".." never climbs above a drive's root.
// A relative path or one without a drive letter is on Z:, relative to the
// current directory. Using a C: path takes the machine.
bool Locate(const char* windowsPath, HostPlace& place);

// The place's folder and name joined: below root for C:, absolute for Z:.
std::string PlacePath(const HostPlace& place);

// Opens a path of the place's drive (as PlacePath gives it). On C: it
// resolves inside drive_c only: with openat2's RESOLVE_IN_ROOT, or, where
// the kernel lacks it, component by component refusing symbolic links.
int OpenOnDrive(const HostPlace& place, const std::string& path, int flags, mode_t mode = 0);

// The DOS path ("\WINDOWS\INF\OEM0.INF") of a C: path when C: is inside
// a disk image; false for other drives and machines.
bool LocateOnDisk(const char* windowsPath, std::string& dosPath);

// The host path of a Windows path; empty when it names no drive of the machine.
std::string HostPath(const char* windowsPath);

} // namespace win95
