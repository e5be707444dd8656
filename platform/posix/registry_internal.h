// Registry operations the emulated machine's own services use beside the
// Windows ones the programs call.
#pragma once

#include "platform/posix/registry.h"

namespace win95
{

// Removes the subkey and everything under it, as RegDeleteKeyA does on
// Windows 95; ERROR_FILE_NOT_FOUND when there is no such subkey.
LONG DeleteKeyTree(HKEY key, LPCSTR subKey);

} // namespace win95
