// A Windows 9x binary registry file (SYSTEM.DAT, USER.DAT) held in memory:
// read and checked as a whole, changed through registry-shaped calls, and
// written back with every untouched key and value as it was read.
//
// The file is a 32-byte "CREG" header, then the key tree ("RGKN": a header
// and 28-byte entries linking each key to its parent, first subkey and
// next sibling, with a hash of its name and the id of its data record),
// then data blocks ("RGDB") holding one record per key: its name and its
// values. A key's id is its block number (high word) and its number within
// that block (low word). format.h gives the layout in full; the
// file is read and changed with every piece of Windows' own bookkeeping
// (free entries and records, block counters) kept exact.
//
// Names are bytes in the guest's ANSI code page, compared without regard to
// the case of ASCII letters and kept with the case they were given.
//
// The root key has no record, and so no values, as in the files Windows
// writes; a file whose root has no subkeys has no data block.
//
// Value data is what RegQueryValueExA answers and RegSetValueExA takes. A
// REG_SZ is stored as Windows 9x stores it, without its terminating zero,
// and reads back with one: data stored without a zero at its end gets one
// added. So a REG_SZ whose data ends in one zero is stored without it, one
// that ends in two or more zeros is stored as it is, and one that does not
// end in a zero (which Windows 9x cannot hand back either) reads back with
// a zero added.
#pragma once

#include "platform/posix/os/fault.h"
#include "platform/posix/storage/storage.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace win95
{

// What Windows 9x allows, and so all that this file holds.
constexpr std::size_t MaxHive9xName = 255;   // bytes of a key or value name
constexpr std::size_t MaxHive9xData = 16300; // bytes of one value's data
constexpr std::size_t MaxHive9xDepth = 512;  // levels of keys below the root

// What checking a file finds: a fault, at "offset 0x..." in the file.
struct Hive9xFinding
{
    Fault fault;
    // A header word that differs from what Windows writes: kept as read,
    // and no reason to refuse the file.
    bool unusual = false;
};

class Hive9x
{
  public:
    using Key = std::uint32_t;
    static constexpr Key NoKey = 0xFFFFFFFFu;

    using Value = win95::Value;

    // Which of Windows 9x's limits a change would pass.
    enum class Limit
    {
        None,      // within every limit
        Name,      // a key or value name longer than MaxHive9xName
        Depth,     // a key deeper than MaxHive9xDepth
        Data,      // a value's data longer than MaxHive9xData
        Record,    // the key's name and values together larger than a data block
        Recordless // the root without a record, which holds no values
    };

    // Reads and checks a whole file; null, with `fault` filled, when any
    // part of it is malformed or its bookkeeping is not exact.
    static std::unique_ptr<Hive9x> Read(std::string bytes, Fault& fault);
    // Everything that reading would find, in file order within each part.
    static std::vector<Hive9xFinding> Check(std::string bytes);
    // A file holding only the root key.
    static std::unique_ptr<Hive9x> Empty();

    ~Hive9x();
    Hive9x(const Hive9x&) = delete;
    Hive9x& operator=(const Hive9x&) = delete;

    // The key the file holds all others under (HKEY_LOCAL_MACHINE for
    // SYSTEM.DAT, HKEY_USERS for USER.DAT).
    Key Root() const;
    // The subkey of that name, or NoKey.
    Key Find(Key parent, std::string_view name) const;
    // The existing key at that path ("A\B\C", relative to `from`), or the
    // keys made along it, each after its siblings; NoKey when a name is
    // longer than Windows 9x allows or the path is too deep. Empty names (a
    // leading, doubled or trailing '\') are passed over.
    Key Create(Key from, std::string_view path);

    // Subkeys in file order.
    Key FirstChild(Key key) const;
    Key NextSibling(Key key) const;
    Key Parent(Key key) const;
    std::string_view Name(Key key) const;
    // False once the key or one above it has been deleted.
    bool Exists(Key key) const;

    // The limit a new subkey of that name would pass (None for an existing one).
    Limit CheckKey(Key parent, std::string_view name) const;
    // The limit SetValue with these arguments would pass.
    Limit CheckValue(Key key, std::string_view name, std::uint32_t type, std::string_view data);

    // The key's values, in file order.
    const std::vector<Value>& Values(Key key);
    const Value* FindValue(Key key, std::string_view name);
    // Sets or adds a value (a new one goes last); false, changing nothing,
    // when CheckValue finds a limit passed or the key has been deleted.
    bool SetValue(Key key, std::string_view name, std::uint32_t type, std::string_view data);
    // False when there is no such value.
    bool DeleteValue(Key key, std::string_view name);
    // Removes the key and everything under it; the root stays.
    void Delete(Key key);

    bool Changed() const;
    // Writes the whole file out in pieces, as it would stand with the keys
    // `leftOut` and everything under them deleted; false as soon as `write`
    // fails.
    bool Write(const std::function<bool(const char*, std::size_t)>& write,
               const std::vector<Key>& leftOut = {}) const;

  private:
    struct Data;
    explicit Hive9x(std::unique_ptr<Data> data);
    std::unique_ptr<Data> d_;
};

} // namespace win95
