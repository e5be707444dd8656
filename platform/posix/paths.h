// Windows paths on the emulated machine: C: is the machine's drive_c
// folder, Z: is the host's root, as in Wine.
#pragma once

#include <string>

namespace win95
{

// The host path of a Windows path; empty when it names no drive of the
// machine. Each existing component is matched without regard to case,
// "." and ".." are resolved, and ".." never climbs above a drive's root.
// A relative path or one without a drive letter is on Z:, relative to the
// current directory. Using a C: path takes the machine.
std::string HostPath(const char* windowsPath);

} // namespace win95
