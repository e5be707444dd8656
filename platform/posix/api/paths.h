// Windows paths as the emulated machine's drives take them: C: is the
// machine's drive, Z: the host's root, as in Wine.
#pragma once

#include "platform/posix/machine/drive.h"

namespace win95
{

// The drive letter ('C' or 'Z') and the components below its top of a
// Windows path; false when it names another drive. "." and ".." are
// resolved, and ".." never climbs above a drive's top. A relative path,
// or one without a drive letter, is on Z:, relative to the current
// directory.
bool SplitWindowsPath(const char* windowsPath, char& drive, DrivePath& path);

} // namespace win95
