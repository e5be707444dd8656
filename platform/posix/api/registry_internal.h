// Registry operations the emulated machine's own services use beside the
// Windows ones the programs call.
#pragma once

#include "platform/posix/api/registry.h"
#include "platform/posix/storage/storage.h"

namespace win95
{

// A key as the machine's own services reach it: without a handle, so that
// a service reading many keys pays for no handles.
struct RegistryKey
{
    Storage* storage = nullptr;
    KeyId key = NoKey;
};

// The key at the path below a root key or an open key, found exactly as
// RegOpenKeyA finds it, with its result codes.
LONG OpenRegistryKey(HKEY key, LPCSTR subKey, RegistryKey& result);
// The same below a key reached so.
LONG OpenRegistryKey(const RegistryKey& from, LPCSTR subKey, RegistryKey& result);

// Removes the subkey and everything under it, as RegDeleteKeyA does on
// Windows 95; ERROR_FILE_NOT_FOUND when there is no such subkey.
LONG DeleteKeyTree(HKEY key, LPCSTR subKey);
LONG DeleteKeyTree(const RegistryKey& key, LPCSTR subKey);

} // namespace win95
