// The registry storage of a real Windows 9x installation: its SYSTEM.DAT,
// whose root is HKEY_LOCAL_MACHINE. A change that Windows 9x could not
// hold is refused with the error the registry call then answers:
// ERROR_INVALID_PARAMETER for a key or value name over 255 bytes, value
// data over 16,300 bytes, or a key more than 512 levels deep;
// ERROR_NOT_ENOUGH_MEMORY when a key's values together would outgrow a
// data block (64 KB); ERROR_ACCESS_DENIED for a value of the root key,
// which holds none.
#pragma once

#include "platform/posix/storage/storage.h"
#include "platform/posix/storage/win9x/hive.h"

#include <memory>

namespace win95
{

std::unique_ptr<Storage> HiveStorage(std::unique_ptr<Hive9x> hive);

} // namespace win95
