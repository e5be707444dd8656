// The Windows 9x registry file's layout, and the state that the reader,
// the key calls, the value calls, the allocator and the writer share.
//
// The file, as Windows 95, 98 and Me write it:
//   CREG header (0x20): "CREG", version 0x00010000, the offset of the first
//     data block (+0x08), a checksum word Windows leaves 0 (+0x0C), the
//     number of data blocks (+0x10), the words 0x20 (+0x12) and 1 (+0x16).
//   RGKN key tree, whole 0x1000-byte pages: a header ("RGKN", the tree's
//     size, the root entry, the first free run, flags 8 at +0x10), then
//     0x1C-byte entries. The first 0x2000 bytes hold the header and entries
//     one after another (the last 0x0C bytes unused); each later page holds
//     146 entries from its start and 8 unused bytes, so that no entry
//     crosses a page. An entry: 0, the name's hash, a word of no meaning,
//     then the offsets of the parent, first subkey and next sibling, the
//     key's number and its block's number. Free entries lie in runs marked
//     0x80000000, with the run's size at +4 and the next run at +8, chained
//     from the header; entries, free runs and unused page ends together
//     cover the tree. Offsets in the tree count from its start.
//   RGDB data blocks, whole pages: a header ("RGDB", size, unused size,
//     flags 8, the block's index, the first free record, max_id,
//     first_free_id), then records. A key's record: its length, its id
//     (key number, block number), the bytes it uses, the name's length,
//     the number of values, a word of no meaning, the name, the values. A
//     free record has key number 0xFFFF, its length, and the next free
//     record of the chain at +8; the block's unused size is the sum of the
//     free records' lengths. A block holds at most 255 records, numbered
//     0 to 0xFE; first_free_id is the lowest number not in use, max_id at
//     least the highest one. Offsets in a block count from its start.
#pragma once

#include "platform/posix/os/text.h"
#include "platform/posix/storage/win9x/hive.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace win95
{
namespace hive9x
{

constexpr std::uint32_t none = 0xFFFFFFFFu;

constexpr std::size_t fileHeaderSize = 0x20;
constexpr std::size_t treeAt = fileHeaderSize; // the key tree follows the file header
constexpr std::uint32_t treeHeaderSize = 0x20;
constexpr std::uint32_t entrySize = 0x1C;
constexpr std::uint32_t pageSize = 0x1000;
constexpr std::uint32_t contiguousEnd = 0x2000; // entries before it stand one after another
constexpr std::uint32_t entriesPerPage = 146;
constexpr std::uint32_t freeRunMark = 0x80000000u;
constexpr std::uint32_t newTreeSize = 0x2000;
constexpr std::size_t blockHeaderSize = 0x20;
constexpr std::size_t recordHeaderSize = 0x14;
constexpr std::size_t freeRecordHeaderSize = 0x0C; // length, id, next free record
constexpr std::size_t valueHeaderSize = 0x0C;
constexpr std::size_t maxBlockSize = 0x10000;
constexpr std::size_t maxRecord = maxBlockSize - blockHeaderSize;
constexpr std::uint16_t freeNumber = 0xFFFF; // the key number of a free record
constexpr std::uint16_t maxNumber = 0xFE;    // the highest key number in a block
constexpr std::uint16_t headerFlags = 8;     // the flags word of the tree and of each block
constexpr std::uint32_t regSz = 1;

std::uint32_t Get32(const std::string& bytes, std::size_t at);
std::uint16_t Get16(const std::string& bytes, std::size_t at);
void Put32(std::string& bytes, std::size_t at, std::uint32_t value);
void Put16(std::string& bytes, std::size_t at, std::uint16_t value);

// A hash of the name in upper case, to find names that are the same in any case.
std::uint64_t NameKey(std::string_view name);
// The sum of the name's upper-cased bytes below 0x80: what Windows looks a
// key up by before it compares names.
std::uint32_t NameHash(std::string_view name);

// Where entries may stand in a key tree of `size` bytes.
struct TreeGeometry
{
    std::uint32_t size;

    // The end of the last whole entry of the region (the contiguous start,
    // or a page) that holds `offset`.
    std::uint32_t EntriesEnd(std::uint32_t offset) const;
    // The end of that region: where the next region's first entry stands.
    std::uint32_t RegionEnd(std::uint32_t offset) const;
    bool IsEntry(std::uint32_t offset) const;
    // Where the entry after the one at `offset` stands (past the region's
    // unused end when it is the region's last).
    std::uint32_t Next(std::uint32_t offset) const;
    // The entry's position among all the tree's places for entries.
    std::size_t Index(std::uint32_t offset) const;
    std::size_t Count() const;
};

// A record of a data block, as read and as the allocator keeps it.
struct Slot
{
    std::uint32_t offset; // in the block
    std::uint32_t length;
    std::uint16_t number; // freeNumber for a free record
    Hive9x::Key key;      // NoKey for a free record, or a record no key owns
};

struct Block
{
    std::uint32_t offset; // in the file
    std::uint32_t size;
    std::vector<Slot> slots;              // in the block's order
    std::vector<std::uint32_t> freeChain; // free records' offsets, in chain order
};

class TreeSpace;   // alloc.h
class RecordSpace; // alloc.h

// A run of free key entries.
struct Run
{
    std::uint32_t offset; // in the tree
    std::uint32_t size;
};

} // namespace hive9x

struct Hive9x::Data
{
    using Slot = hive9x::Slot;
    using Block = hive9x::Block;
    using Run = hive9x::Run;

    struct Node
    {
        std::string name;
        Key parent = NoKey;
        Key firstChild = NoKey;
        Key lastChild = NoKey;
        Key nextSibling = NoKey;
        std::uint32_t entry = hive9x::none;  // its entry's offset in the tree as read
        std::uint32_t id = hive9x::none;     // block << 16 | number as read
        std::uint32_t record = hive9x::none; // file offset of its record as read
        bool deleted = false;                // removed, with everything under it
        bool dirty = false;                  // its values changed
        bool parsed = false;                 // `values` holds its values
        bool recordless = false;             // the root, which has no record and so no values
        std::vector<Value> values;
        // For each value, the file offset of its bytes while it stands as it
        // was read (kept byte for byte, a REG_SZ's stored zero included);
        // none once it is set.
        std::vector<std::uint32_t> readAt;
    };
    std::string bytes; // the file as read
    std::uint32_t treeSize = 0;
    std::vector<Run> treeFree; // the free runs, in chain order
    std::vector<Node> nodes;
    std::vector<Block> blocks;
    std::vector<Key> created; // keys made since reading, in order
    bool changed = false;
    // The live subkeys by NameKey of each parent whose subkeys a look-up
    // had to walk at length, so that looking up each of a long list of
    // subkeys in turn does not walk the list each time. Built on the first
    // long walk, then kept up to date as keys are added and deleted.
    std::unordered_map<Key, std::unordered_multimap<std::uint64_t, Key>> named;

    // Reading and checking; `problems` gets every one found.
    void Load(std::vector<Hive9xFinding>& problems);
    bool LoadTreeFree(std::vector<bool>& covered, std::vector<Hive9xFinding>& problems);
    bool LoadBlocks(std::vector<Hive9xFinding>& problems);
    bool LoadBlock(std::size_t index, std::size_t at, std::vector<Hive9xFinding>& problems);
    bool CheckRecord(std::size_t at, std::size_t length,
                     std::vector<Hive9xFinding>& problems) const;
    // A key entry to be read, and the link that led to it.
    struct Pending
    {
        std::uint32_t entry;
        Key parent;
        std::size_t depth;
        std::size_t linkAt; // the field that led here
    };
    // For each block, the slot of each key number; none where it is free.
    using Numbered = std::vector<std::vector<std::uint32_t>>;
    Numbered SlotsByNumber() const;
    void LoadTree(std::vector<bool>& covered, std::vector<Hive9xFinding>& problems);
    bool LoadEntry(const Pending& here, const Numbered& numbered, std::vector<bool>& covered,
                   std::vector<Pending>& stack, std::vector<Hive9xFinding>& problems);
    bool LoadRecordOf(Node& node, Key key, std::size_t at, const Numbered& numbered,
                      std::vector<Hive9xFinding>& problems);
    bool CheckKeyEntry(const Node& node, std::size_t at, std::size_t depth,
                       std::vector<Hive9xFinding>& problems) const;
    void CheckNames(std::vector<Hive9xFinding>& problems) const;

    // Values and records.
    std::vector<Value>& Values(Key key);
    std::size_t ValueBytes(const Node& node, std::size_t index) const;
    std::size_t RecordBytes(const Node& node) const;
    std::vector<Value>::iterator FindValue(Key key, std::string_view name);
    std::string BuildRecord(Key key, std::uint32_t id, std::uint32_t length) const;

    // Keys.
    Key AddChild(Key parent, std::string name);
    void NameChildren(Key parent);
    Key FirstAlive(Key key) const;

    // Writing (write.cpp).
    std::vector<bool> Written(const std::vector<Key>& leftOut) const;
    std::vector<std::uint32_t> PlaceRecords(hive9x::RecordSpace& records,
                                            const std::vector<bool>& written) const;
    std::vector<std::uint32_t> PlaceEntries(hive9x::TreeSpace& tree,
                                            const std::vector<bool>& written) const;
    void LinkEntries(std::string& entries, const std::vector<std::uint32_t>& entryOf,
                     const std::vector<std::uint32_t>& ids, const std::vector<bool>& written) const;
    bool Emit(const std::function<bool(const char*, std::size_t)>& write,
              const std::vector<Key>& leftOut) const;
};

} // namespace win95
