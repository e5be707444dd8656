// The emulated Windows 95 machine: a folder named by WIN95PREFIX (default
// $HOME/.win95) holding registry.reg and drive_c/, or a folder that is the
// C: drive of a Windows 9x installation. A run takes the machine
// at its first use, holds it under an exclusive lock, and commits it once
// at the end: the registry image and the files the run places on C: as one.
#pragma once

#include <string>
#include <sys/types.h>

namespace win95
{

class DiskInstallation;
class Storage;
struct HostPlace;

// The machine's registry, read at first use; null when the image cannot
// be read or parsed (the fault has then been reported once).
Storage* MachineRegistry();

// The Windows directory on C: ("C:\WINDOWS", or what the installation's
// MSDOS.SYS names).
std::string MachineWindowsDirectory();

// The host folder that is drive C:, with the machine taken for this run;
// empty when the machine or its registry cannot be read, so that such a
// run leaves C: alone.
const std::string& MachineDriveC();

// The same folder, open; -1 where MachineDriveC is empty.
int MachineDriveCFolder();

// Creates a new file at a C: place whose name is free, out of sight until
// the commit; returns a descriptor for writing it, or -1.
int CreateOnDriveC(const HostPlace& place, mode_t mode);

// True when this run is placing a file at the place.
bool PlacingOnDriveC(const HostPlace& place);

// Gives up the file this run is placing at the place; false when it places none there.
bool DiscardOnDriveC(const HostPlace& place);

// The disk image that holds the machine's C: drive; null when the machine
// is a folder, or when its registry cannot be read.
DiskInstallation* MachineDisk();

// Writes the image back if it changed and then places the new files on C:
// (or, when the image cannot be saved, places none), and releases the machine.
void CommitMachine();

// Ends the run without changing the machine, for a run out of memory.
void AbandonMachine();

// The run's exit status: 0, as the programs promise, unless WIN95STRICT=1
// asks for the truth: then 1 when the machine refused the run or could not
// save what it changed.
int MachineExitStatus();

} // namespace win95
