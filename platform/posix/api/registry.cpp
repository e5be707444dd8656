// The registry calls on the machine's storage, with the result codes and the
// behaviour that Windows shows for them.
#include "platform/posix/api/registry.h"
#include "platform/posix/api/registry_internal.h"
#include "platform/posix/machine/machine.h"
#include "platform/posix/storage/regedit4/storage.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace
{

using win95::KeyId;
using win95::NoKey;
using win95::RegistryKey;
using win95::Storage;

constexpr LONG ERROR_KEY_DELETED = 1018L;

// Open keys by handle value: the n-th handle handed out is firstHandle +
// 4n, and its key stays at place n, NoKey once it is closed. Values are
// never reused, so a closed or made-up handle is recognised as such.
constexpr std::uintptr_t firstHandle = 0x1000;

std::vector<KeyId>& Handles()
{
    static std::vector<KeyId> keys;
    return keys;
}

HKEY NewHandle(KeyId key)
{
    std::vector<KeyId>& keys = Handles();
    keys.push_back(key);
    return reinterpret_cast<HKEY>(firstHandle + 4 * (keys.size() - 1));
}

// The place of an open handle's key; null when the handle is not open.
KeyId* HandleKey(HKEY handle)
{
    std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    std::vector<KeyId>& keys = Handles();
    if (value < firstHandle || (value - firstHandle) % 4 != 0 ||
        (value - firstHandle) / 4 >= keys.size())
        return nullptr;
    KeyId& key = keys[(value - firstHandle) / 4];
    return key != NoKey ? &key : nullptr;
}

// The storage and the key that a handle stands for.
LONG Resolve(HKEY handle, RegistryKey& result)
{
    Storage* storage = win95::MachineRegistry();
    if (storage == nullptr)
        return ERROR_BADDB;
    KeyId key = NoKey;
    if (handle == HKEY_LOCAL_MACHINE)
        key = storage->LocalMachine();
    else if (handle == HKEY_CLASSES_ROOT)
        key = storage->ClassesRoot();
    else
    {
        KeyId* open = HandleKey(handle);
        if (open == nullptr)
            return ERROR_INVALID_HANDLE;
        key = *open;
    }
    if (!storage->Exists(key))
        return ERROR_KEY_DELETED;
    result = {storage, key};
    return ERROR_SUCCESS;
}

// Takes the next name off a key path; empty when none is left. Empty names
// (a leading, doubled or trailing '\\') are skipped, as Windows 95 skips a
// leading '\\'.
std::string_view NextName(std::string_view& rest)
{
    while (!rest.empty() && rest.front() == '\\')
        rest.remove_prefix(1);
    std::size_t stop = std::min(rest.find('\\'), rest.size());
    std::string_view name = rest.substr(0, stop);
    rest.remove_prefix(stop);
    while (!rest.empty() && rest.front() == '\\')
        rest.remove_prefix(1);
    return name;
}

// A line break in a name could not be written to the image and read back.
bool IsWritableName(std::string_view name)
{
    return name.find_first_of("\r\n") == std::string_view::npos;
}

// The keys that recent walks of two or more names reached, and the keys
// above their last names: the programs walk from a root key down long
// paths that mostly begin alike (every printer lies below the printers'
// key), and the spooler opens the printers' and the drivers' keys by
// turns, so a walk that begins with the same bytes as one of them starts
// from there. A new walk takes the place of the one least recently used.
struct WalkedPath
{
    std::uint64_t storage = 0; // its Serial
    KeyId from = NoKey;
    std::string path; // as the caller spelt it
    KeyId key = NoKey;
    std::uint64_t used = 0; // when it was last made or used
};

struct Walks
{
    std::array<WalkedPath, 8> paths;
    std::uint64_t clock = 0;
};

Walks& RecentWalks()
{
    static Walks walks;
    return walks;
}

// Where a walk of `rest` from `from` may start: the deepest key that a
// recent walk whose path `rest` continues reached, and `rest` then loses
// that path; `from` when there is none. A walk that only opens may also
// end there at once, when `rest` is that very path; one that creates walks
// its last name, which keeps a key made only to reach a root.
KeyId WalkStart(const Storage& storage, KeyId from, std::string_view& rest, bool create)
{
    Walks& walks = RecentWalks();
    WalkedPath* start = nullptr;
    for (WalkedPath& last : walks.paths)
    {
        std::size_t length = last.path.size();
        if (last.storage == storage.Serial() && last.from == from && rest.size() >= length &&
            (rest.size() > length ? rest[length] == '\\' : !create) &&
            (start == nullptr || length > start->path.size()) &&
            rest.compare(0, length, last.path) == 0 && storage.Exists(last.key))
            start = &last;
    }
    if (start == nullptr)
        return from;
    rest.remove_prefix(start->path.size());
    start->used = ++walks.clock;
    return start->key;
}

void RememberWalk(const Storage& storage, KeyId from, std::string_view path, KeyId key)
{
    Walks& walks = RecentWalks();
    WalkedPath* slot = &walks.paths[0];
    for (WalkedPath& walk : walks.paths)
    {
        if (walk.storage == storage.Serial() && walk.from == from && walk.path == path)
        {
            slot = &walk;
            break;
        }
        if (walk.used < slot->used)
            slot = &walk;
    }
    if (slot->path != path)
        slot->path.assign(path);
    slot->storage = storage.Serial();
    slot->from = from;
    slot->key = key;
    slot->used = ++walks.clock;
}

LONG Walk(Storage& storage, KeyId from, LPCSTR path, bool create, KeyId& result)
{
    std::string_view whole = path != nullptr ? path : "";
    std::string_view rest = whole;
    KeyId key = WalkStart(storage, from, rest, create);
    KeyId parent = NoKey;
    std::size_t lastName = 0;
    for (std::string_view name = NextName(rest); !name.empty(); name = NextName(rest))
    {
        KeyId below = storage.Find(key, name);
        // The last name is created even when it exists: a key made only to
        // reach a root is kept once a program asks for it.
        if (create && (below == NoKey || rest.empty()))
        {
            if (!IsWritableName(name))
                return ERROR_INVALID_PARAMETER;
            LONG refused = storage.KeyRefusal(key, name);
            if (refused != ERROR_SUCCESS)
                return refused;
            below = storage.Create(key, name);
        }
        if (below == NoKey)
            return ERROR_FILE_NOT_FOUND;
        parent = key;
        lastName = static_cast<std::size_t>(name.data() - whole.data());
        key = below;
    }
    if (lastName > 0 && parent != from)
    {
        RememberWalk(storage, from, whole.substr(0, lastName - 1), parent);
        RememberWalk(storage, from, whole, key);
    }
    result = key;
    return ERROR_SUCCESS;
}

// The key at `path` below `from` (`from` itself for a null path), the keys
// along it made when `create`.
LONG Below(const RegistryKey& from, LPCSTR path, bool create, RegistryKey& result)
{
    if (path == nullptr)
    {
        result = from;
        return ERROR_SUCCESS;
    }
    KeyId key = NoKey;
    LONG status = Walk(*from.storage, from.key, path, create, key);
    if (status == ERROR_SUCCESS)
        result = {from.storage, key};
    return status;
}

// How every call gets to the key it works on: the key that the handle
// stands for, or the one at `path` below it, with the same result codes
// for all of them.
LONG Reach(HKEY handle, LPCSTR path, bool create, RegistryKey& result)
{
    RegistryKey from;
    LONG status = Resolve(handle, from);
    return status == ERROR_SUCCESS ? Below(from, path, create, result) : status;
}

// The same from a key reached before, which may since have been deleted.
LONG Reach(const RegistryKey& from, LPCSTR path, bool create, RegistryKey& result)
{
    return from.storage->Exists(from.key) ? Below(from, path, create, result) : ERROR_KEY_DELETED;
}

// A bad handle leaves the result alone; a path not found empties it.
LONG OpenKey(HKEY key, LPCSTR subKey, PHKEY result, bool create)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegistryKey found;
    LONG status = Reach(key, nullptr, false, found);
    if (status != ERROR_SUCCESS)
        return status;
    status = Below(found, subKey, create, found);
    *result = status == ERROR_SUCCESS ? NewHandle(found.key) : nullptr;
    return status;
}

// The root keys stay: HKEY_LOCAL_MACHINE and the keys down to
// HKEY_CLASSES_ROOT, which is HKEY_LOCAL_MACHINE\SOFTWARE\Classes.
LONG DeleteReached(const RegistryKey& target)
{
    Storage* storage = target.storage;
    for (KeyId root = storage->ClassesRoot(); root != NoKey; root = storage->Parent(root))
        if (root == target.key)
            return ERROR_ACCESS_DENIED;
    storage->Delete(target.key);
    return ERROR_SUCCESS;
}

// A value the storage's format cannot hold is refused, never dropped.
LONG SetValue(Storage& storage, KeyId key, std::string_view name, DWORD type, std::string_view data)
{
    LONG refused = storage.ValueRefusal(key, name, type, data);
    if (refused == ERROR_SUCCESS)
        storage.SetValue(key, name, type, data);
    return refused;
}

bool IsText(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

// As on Windows, an empty subkey hands back the handle given, not a new one.
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    if (result != nullptr && (subKey == nullptr || subKey[0] == '\0'))
    {
        RegistryKey own;
        LONG status = Reach(key, nullptr, false, own);
        if (status == ERROR_SUCCESS)
            *result = key;
        return status;
    }
    return OpenKey(key, subKey, result, false);
}

LONG RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result)
{
    return OpenKey(key, subKey, result, true);
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize)
{
    if (data == nullptr && dataSize != 0)
        return ERROR_INVALID_PARAMETER;
    RegistryKey target;
    LONG status = Reach(key, nullptr, false, target);
    if (status != ERROR_SUCCESS)
        return status;
    std::string_view name = valueName != nullptr ? valueName : "";
    if (!IsWritableName(name))
        return ERROR_INVALID_PARAMETER;
    std::string_view bytes;
    if (data != nullptr)
        bytes = std::string_view(reinterpret_cast<const char*>(data), dataSize);
    return SetValue(*target.storage, target.key, name, type, bytes);
}

// The given length is ignored: the value is the text and its zero byte.
LONG RegSetValueA(HKEY key, LPCSTR subKey, DWORD type, LPCSTR data, DWORD)
{
    if (type != REG_SZ || data == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegistryKey target;
    LONG status = Reach(key, subKey, true, target);
    if (status != ERROR_SUCCESS)
        return status;
    return SetValue(*target.storage, target.key, "", REG_SZ,
                    std::string_view(data, std::strlen(data) + 1));
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameCapacity)
{
    RegistryKey parent;
    LONG status = Reach(key, nullptr, false, parent);
    if (status != ERROR_SUCCESS)
        return status;
    if (name == nullptr)
        return ERROR_INVALID_PARAMETER;
    KeyId child = parent.storage->Subkey(parent.key, index);
    if (child == NoKey)
        return ERROR_NO_MORE_ITEMS;
    std::string_view childName = parent.storage->Name(child);
    if (childName.size() >= nameCapacity)
        return ERROR_MORE_DATA;
    std::memcpy(name, childName.data(), childName.size());
    name[childName.size()] = '\0';
    return ERROR_SUCCESS;
}

// As on Windows: the type reads REG_NONE and the size 0 (without a buffer)
// until the value is found; a buffer too small is left untouched, and text
// without its zero byte gets one when the buffer has room.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize)
{
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    RegistryKey target;
    LONG status = Reach(key, nullptr, false, target);
    if (status != ERROR_SUCCESS)
        return status;
    DWORD capacity = dataSize != nullptr ? *dataSize : 0;
    if (data == nullptr && dataSize != nullptr)
        *dataSize = 0;
    if (type != nullptr)
        *type = REG_NONE;
    const win95::Value* value =
        target.storage->FindValue(target.key, valueName != nullptr ? valueName : "");
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (type != nullptr)
        *type = value->type;
    if (dataSize != nullptr)
        *dataSize = size;
    if (data == nullptr)
        return ERROR_SUCCESS;
    if (size > capacity)
        return ERROR_MORE_DATA;
    std::memcpy(data, value->data.data(), size);
    if (IsText(value->type) && size > 0 && size < capacity && data[size - 1] != 0)
        data[size] = 0;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    if (win95::MachineRegistry() == nullptr)
        return ERROR_BADDB;
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT)
        return ERROR_SUCCESS;
    KeyId* open = HandleKey(key);
    if (open == nullptr)
        return ERROR_INVALID_HANDLE;
    *open = NoKey;
    return ERROR_SUCCESS;
}

namespace win95
{

LONG OpenRegistryKey(HKEY key, LPCSTR subKey, RegistryKey& result)
{
    return Reach(key, subKey, false, result);
}

LONG OpenRegistryKey(const RegistryKey& from, LPCSTR subKey, RegistryKey& result)
{
    return Reach(from, subKey, false, result);
}

LONG DeleteKeyTree(HKEY key, LPCSTR subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegistryKey target;
    LONG status = Reach(key, subKey, false, target);
    return status == ERROR_SUCCESS ? DeleteReached(target) : status;
}

LONG DeleteKeyTree(const RegistryKey& from, LPCSTR subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    RegistryKey target;
    LONG status = Reach(from, subKey, false, target);
    return status == ERROR_SUCCESS ? DeleteReached(target) : status;
}

} // namespace win95
