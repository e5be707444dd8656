// A registry file on the host, opened for reading: registry.reg or an
// installation's SYSTEM.DAT.
#pragma once

#include "platform/posix/machine/save.h"
#include "platform/posix/storage/storage.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace win95
{

// Opens the file for reading, and notes its owner, group and mode in the
// target, for the save. The file is checked before it is opened, so that
// neither a pipe nor a device is opened, and again once it is open,
// without waiting on it, in case it was swapped meanwhile; a file over
// 1 GiB is refused. -1 once the fault has been said.
int OpenRegistryFile(const std::string& path, SaveTarget& target, struct stat& info);

// Reads the open file's `size` bytes whole, and closes it; false once the
// fault has been said.
bool ReadRegistryFile(const std::string& path, int fd, std::size_t size, std::string& bytes);

// The Windows 9x registry from the bytes of its file (SYSTEM.DAT at
// `path`), checked in full; null once the fault has been said.
std::unique_ptr<Storage> Win9xRegistryFrom(std::string bytes, const std::string& path);

} // namespace win95
