// The emulated Windows 95 machine: a folder named by WIN95PREFIX (default
// $HOME/.win95) holding registry.reg and drive_c/. A run takes the machine
// at its first use, holds it under an exclusive lock, and commits it once
// at the end.
#pragma once

#include <string>

namespace win95
{

class Image;

// The machine's registry, read at first use; null when the image cannot
// be read or parsed (the fault has then been reported once).
Image* MachineImage();

// The host folder that is drive C:, with the machine taken for this run.
const std::string& MachineDriveC();

// Writes the image back if it changed, and releases the machine.
void CommitMachine();

} // namespace win95
