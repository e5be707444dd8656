// Conversion between REGEDIT4 text and a Windows 9x binary registry file.
#pragma once

#include "platform/posix/storage/win9x/hive.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace regconv
{

// The keys of the text under `root` (HKEY_LOCAL_MACHINE for SYSTEM.DAT,
// which also takes HKEY_CLASSES_ROOT as its SOFTWARE\Classes; HKEY_USERS
// for USER.DAT) as a binary registry. Each line of `messages` tells of
// something left out: keys under other roots, and, with `dropOversize`,
// keys and values longer than Windows 9x allows (without it, the first of
// these stops the conversion). Null when the text is malformed or stopped.
std::unique_ptr<win95::Hive9x> HiveFromText(std::string_view text, const std::string& root,
                                            bool dropOversize, std::vector<std::string>& messages);

// The binary registry as REGEDIT4 text, keys in file order, with `root`
// as the name of its root key; false as soon as `write` fails.
bool TextFromHive(win95::Hive9x& hive, const std::string& root,
                  const std::function<bool(const char*, std::size_t)>& write);

} // namespace regconv
