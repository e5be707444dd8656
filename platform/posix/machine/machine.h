// The emulated Windows 95 machine as the Windows calls reach it. A run
// takes the machine WIN95PREFIX names at its first use, in its form
// (form.h), holds it under an exclusive lock, and commits it once at the
// end: the registry, then the files the run placed on C:.
#pragma once

#include "platform/posix/machine/drive.h"

#include <string>

namespace win95
{

class Storage;

// The machine's registry, read at first use; null when it cannot be read
// (the fault has then been said once).
Storage* MachineRegistry();

// The Windows directory on C: ("C:\WINDOWS", or what the installation's
// MSDOS.SYS names).
std::string MachineWindowsDirectory();

// The drive of that letter: C:, the machine's, or Z:, the host's root;
// null for any other letter, and for C: when the machine or its registry
// cannot be read, so that such a run leaves C: alone.
Drive* MachineDrive(char letter);

// Saves what the run changed, and releases the machine. WIN95REPORT=1
// and WIN95DRYRUN=1 report the change on standard output; a dry run
// changes nothing.
void CommitMachine();

// Ends the run without changing the machine, for a run out of memory.
void AbandonMachine();

// The run's exit status: 0, as the programs promise, unless WIN95STRICT=1
// asks for the truth: then 1 when the machine refused the run or could not
// save what it changed.
int MachineExitStatus();

} // namespace win95
