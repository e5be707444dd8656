// A real Windows 9x installation as a machine: a folder that is its C:
// drive, holding the Windows directory and, in it, the registry's
// SYSTEM.DAT.
#pragma once

#include <string>
#include <string_view>

namespace win95
{

// The Windows directory that MSDOS.SYS names ("[Paths]" "WinDir="), as a
// path on C: without the drive ("\WINDOWS"); C:\WINDOWS's when it names
// none (or names nothing), and empty when it names one on another drive.
// The first WinDir counts, as with Windows' own profile calls. The one
// reading of MSDOS.SYS, for folders and disk images alike.
std::string WindowsDirectoryFrom(std::string_view msdosSys);

enum class FolderKind
{
    Machine,          // a machine folder, or one that becomes one
    Installation,     // a Windows 9x C: drive
    WindowsDirectory, // the Windows directory itself, which is no machine
};

// What the folder is: a Windows 9x C: drive when it holds no registry.reg
// and holds MSDOS.SYS or a WINDOWS folder; a Windows directory when it
// holds neither but SYSTEM.DAT; else a machine folder. False, with the
// cause kept, when the folder cannot be looked into or listed.
bool ReadFolderKind(const std::string& folder, FolderKind& kind);

struct Installation
{
    std::string windows;    // the Windows directory on C: ("\WINDOWS"), as MSDOS.SYS gives it
    std::string hostFolder; // that folder on the host
    std::string systemDat;  // SYSTEM.DAT's host path, in the case it has there
    std::string backup;     // where the previous SYSTEM.DAT is kept: SYSTEM.TVB's host path
    bool backupExists = false;
    std::string backupFault; // what holds SYSTEM.TVB's name when that is no file ("a folder")
    std::string temporary;   // the new SYSTEM.DAT before it is renamed into place
};

// The folder's Windows directory and its registry files, each name found
// without regard to case; no folder on the way may be a symbolic link.
// False, with `fault` (a few words), when there is no SYSTEM.DAT to use.
bool FindInstallation(const std::string& folder, Installation& found, std::string& fault);

} // namespace win95
