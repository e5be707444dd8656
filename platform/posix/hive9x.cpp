// The Windows 9x binary registry file: checking it as it is read, the key
// tree over it, values parsed when first used, and the writer.
//
// The writer lays the file out again from the tree, in the order it was
// read: key entries keep their order (a deleted key's entry is closed up,
// a new one goes last), and each data record stays in its block, in its
// place, byte for byte, unless its key changed. A changed record is
// rewritten where it stands when it fits the space its record had, and
// otherwise moves to the end of the last block; the space a deleted or
// moved record leaves is added to the record before it. So the file holds
// no free entries and no free records, whose form no public description
// of the format gives: every byte of it is a live entry, a live record, a
// record's spare room counted in its length, or padding to 16 bytes.
#include "platform/posix/hive9x.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace win95
{
namespace
{

constexpr std::uint32_t none = 0xFFFFFFFFu;

constexpr std::size_t fileHeaderSize = 0x20;
constexpr std::size_t treeHeaderSize = 0x20;
constexpr std::size_t entrySize = 0x1C;
constexpr std::size_t blockHeaderSize = 0x20;
constexpr std::size_t recordHeaderSize = 0x14;
constexpr std::size_t valueHeaderSize = 0x0C;
constexpr std::uint16_t freeNumber = 0xFFFF; // the key number of a record no key owns
constexpr std::uint32_t regSz = 1;

std::uint32_t Get32(const std::string& bytes, std::size_t at)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
           static_cast<std::uint32_t>(b[3]) << 24;
}

std::uint16_t Get16(const std::string& bytes, std::size_t at)
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

void Put16(std::string& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void Append32(std::string& bytes, std::uint32_t value)
{
    bytes.resize(bytes.size() + 4);
    Put32(bytes, bytes.size() - 4, value);
}

void Append16(std::string& bytes, std::uint16_t value)
{
    bytes.resize(bytes.size() + 2);
    Put16(bytes, bytes.size() - 2, value);
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

// A hash of the name in upper case, to find names that are the same in any case.
std::uint64_t NameKey(std::string_view name)
{
    std::uint64_t hash = 14695981039346656037u;
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(Upper(c))) * 1099511628211u;
    return hash;
}

// The sum of the name's upper-cased bytes below 0x80: what Windows looks a
// key up by before it compares names.
std::uint32_t NameHash(std::string_view name)
{
    std::uint32_t hash = 0;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x80)
            hash += static_cast<unsigned char>(Upper(c));
    return hash;
}

bool IsAscii(std::string_view name)
{
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t RoundUp(std::size_t size, std::size_t unit)
{
    return (size + unit - 1) / unit * unit;
}

// A REG_SZ's bytes as stored and as the registry calls see them.
std::string_view StoredData(std::uint32_t type, std::string_view data)
{
    if (type == regSz && !data.empty() && data.back() == '\0' &&
        (data.size() == 1 || data[data.size() - 2] != '\0'))
        data.remove_suffix(1);
    return data;
}

std::string CallerData(std::uint32_t type, std::string_view stored)
{
    std::string data(stored);
    if (type == regSz && (data.empty() || data.back() != '\0'))
        data.push_back('\0');
    return data;
}

std::size_t ValueSize(std::string_view name, std::uint32_t type, std::string_view data)
{
    return valueHeaderSize + name.size() + StoredData(type, data).size();
}

// The largest record a data block can hold.
constexpr std::size_t maxRecord = MaxHive9xBlock - blockHeaderSize;

} // namespace

struct Hive9x::Data
{
    struct Node
    {
        std::string name;
        Key parent = NoKey;
        Key firstChild = NoKey;
        Key lastChild = NoKey;
        Key nextSibling = NoKey;
        std::uint32_t entry = none;  // offset of its entry in the tree as read; none when new
        std::uint32_t record = none; // file offset of its record as read; none when new
        bool deleted = false;        // removed, with everything under it
        bool dirty = false;          // its values changed
        bool parsed = false;         // `values` holds its values
        bool recordless = false;     // the root, when it has no record and so no values
        std::vector<Value> values;
        // For each value, the file offset of its bytes while it stands as it
        // was read (kept byte for byte, a REG_SZ's stored zero included);
        // none once it is set.
        std::vector<std::uint32_t> readAt;
    };
    struct Slot
    {
        std::uint32_t offset;    // file offset of the record
        std::uint32_t allocated; // its length, spare room included
        std::uint16_t number;
        Key key; // NoKey for a record no key owns, kept as it is
    };
    struct Block
    {
        std::uint32_t offset;
        std::uint32_t size;
        std::vector<Slot> slots;
    };

    // For each block, the slot of each key number; none where there is none.
    using Numbered = std::vector<std::vector<std::uint32_t>>;

    std::string bytes; // the file as read; empty for a new file
    std::vector<Node> nodes;
    std::vector<Block> blocks;
    std::vector<Key> created; // keys made since reading, in order
    bool changed = false;
    // The live subkeys by NameKey of each parent whose subkeys a look-up
    // had to walk at length, so that looking up each of a long list of
    // subkeys in turn does not walk the list each time. Built on the first
    // long walk, then kept up to date as keys are added and deleted.
    std::unordered_map<Key, std::unordered_multimap<std::uint64_t, Key>> named;

    bool Load(Hive9xError& error);
    bool LoadBlocks(std::size_t at, Numbered& numbered, Hive9xError& error);
    bool CheckRecord(std::size_t at, std::size_t length, Hive9xError& error) const;
    bool LoadTree(std::size_t tree, std::size_t treeSize, const Numbered& numbered,
                  Hive9xError& error);
    std::vector<Value>& Values(Key key);
    std::size_t ValueBytes(const Node& node, std::size_t index) const;
    std::size_t RecordBytes(const Node& node) const;
    // The value of that name, or the end of `values`.
    std::vector<Value>::iterator FindValue(Key key, std::string_view name);
    Key AddChild(Key parent, std::string name);
    void NameChildren(Key parent);
    std::string BuildRecord(Key key, std::uint32_t id, std::uint32_t allocated) const;
    std::uint32_t RecordHeaderWord(Key key) const;
    bool Emit(const std::function<bool(const char*, std::size_t)>& write) const;
};

namespace
{

bool Fail(Hive9xError& error, std::size_t offset, std::string what)
{
    error.offset = offset;
    error.what = std::move(what);
    return false;
}

} // namespace

bool Hive9x::Data::Load(Hive9xError& error)
{
    const std::size_t size = bytes.size();
    if (size < 4 || bytes.compare(0, 4, "CREG") != 0)
        return Fail(error, 0, "not a Windows 9x registry file (no CREG signature)");
    if (size < fileHeaderSize + treeHeaderSize)
        return Fail(error, size, "truncated file (it ends inside the headers)");
    if (Get16(bytes, 6) != 1)
        return Fail(error, 6, "unknown format version");
    const std::size_t tree = fileHeaderSize;
    if (bytes.compare(tree, 4, "RGKN") != 0)
        return Fail(error, tree, "no RGKN key tree after the header");
    const std::size_t treeSize = Get32(bytes, tree + 4);
    if (treeSize < treeHeaderSize + entrySize || treeSize % 16 != 0)
        return Fail(error, tree + 4, "bad key tree size");
    if (treeSize > size - tree)
        return Fail(error, tree + 4, "truncated file (the key tree runs past its end)");
    if (Get32(bytes, 8) != tree + treeSize)
        return Fail(error, 8, "the first data block is not right after the key tree");
    Numbered numbered;
    if (!LoadBlocks(tree + treeSize, numbered, error))
        return false;
    return LoadTree(tree, treeSize, numbered, error);
}

bool Hive9x::Data::LoadBlocks(std::size_t at, Numbered& numbered, Hive9xError& error)
{
    const std::size_t size = bytes.size();
    // A file whose root has no subkeys may have no data blocks at all.
    const std::size_t count = Get16(bytes, 0x10);
    blocks.reserve(count);
    numbered.resize(count);
    for (std::size_t index = 0; index < count; ++index)
    {
        if (size - at < blockHeaderSize)
            return Fail(error, at, "truncated file (a data block is missing)");
        if (bytes.compare(at, 4, "RGDB") != 0)
            return Fail(error, at, "no RGDB signature where a data block starts");
        const std::size_t blockSize = Get32(bytes, at + 4);
        if (blockSize < blockHeaderSize + recordHeaderSize || blockSize % 16 != 0)
            return Fail(error, at + 4, "bad data block size");
        if (blockSize > MaxHive9xBlock)
            return Fail(error, at + 4, "data block longer than 65520 bytes");
        if (blockSize > size - at)
            return Fail(error, at + 4, "truncated file (a data block runs past its end)");
        Block block{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(blockSize), {}};
        const std::size_t end = at + blockSize;
        for (std::size_t record = at + blockHeaderSize; record < end;)
        {
            if (end - record < recordHeaderSize)
                return Fail(error, record, "data record runs past its block");
            const std::size_t length = Get32(bytes, record);
            if (length < recordHeaderSize || length > end - record)
                return Fail(error, record, "bad data record length");
            const std::uint32_t id = Get32(bytes, record + 4);
            const auto number = static_cast<std::uint16_t>(id);
            if (number != freeNumber)
            {
                if (id >> 16 != index)
                    return Fail(error, record + 4, "data record's id names another block");
                if (!CheckRecord(record, length, error))
                    return false;
                std::vector<std::uint32_t>& slots = numbered[index];
                if (slots.size() <= number)
                    slots.resize(number + 1u, none);
                if (slots[number] != none)
                    return Fail(error, record + 4, "two data records with the same id");
                slots[number] = static_cast<std::uint32_t>(block.slots.size());
            }
            block.slots.push_back(Slot{static_cast<std::uint32_t>(record),
                                       static_cast<std::uint32_t>(length), number, NoKey});
            record += length;
        }
        blocks.push_back(std::move(block));
        at = end;
    }
    if (at != size)
        return Fail(error, at, "data after the last data block");
    return true;
}

// A key's record: its name and values lie inside its length, within the
// limits Windows 9x keeps to.
bool Hive9x::Data::CheckRecord(std::size_t at, std::size_t length, Hive9xError& error) const
{
    const std::size_t used = Get32(bytes, at + 8);
    const std::size_t nameLength = Get16(bytes, at + 0x0C);
    const std::size_t valueCount = Get16(bytes, at + 0x0E);
    if (used > length)
        return Fail(error, at + 8, "data record uses more than its length");
    if (nameLength > MaxHive9xName)
        return Fail(error, at + 0x0C, "key name longer than 255 bytes");
    std::size_t next = recordHeaderSize + nameLength;
    if (next > length)
        return Fail(error, at + 0x0C, "key name runs past its record");
    for (std::size_t value = 0; value < valueCount; ++value)
    {
        if (length - next < valueHeaderSize)
            return Fail(error, at + next, "value runs past its record");
        const std::size_t valueName = Get16(bytes, at + next + 8);
        const std::size_t valueData = Get16(bytes, at + next + 0x0A);
        if (valueName > MaxHive9xName)
            return Fail(error, at + next + 8, "value name longer than 255 bytes");
        if (valueData > MaxHive9xData)
            return Fail(error, at + next + 0x0A, "value data longer than 16300 bytes");
        next += valueHeaderSize;
        if (valueName + valueData > length - next)
            return Fail(error, at + next, "value runs past its record");
        next += valueName + valueData;
    }
    return true;
}

bool Hive9x::Data::LoadTree(std::size_t tree, std::size_t treeSize, const Numbered& numbered,
                            Hive9xError& error)
{
    auto validEntry = [&](std::uint32_t offset)
    {
        return offset >= treeHeaderSize && offset <= treeSize - entrySize &&
               (offset - treeHeaderSize) % entrySize == 0;
    };
    const std::uint32_t root = Get32(bytes, tree + 8);
    if (!validEntry(root))
        return Fail(error, tree + 8, "bad offset of the root key");
    std::vector<bool> seen((treeSize - treeHeaderSize) / entrySize);
    struct Pending
    {
        std::uint32_t entry;
        Key parent;
        std::size_t depth;
        std::size_t linkAt; // the field that led here
    };
    std::vector<Pending> stack{{root, NoKey, 0, tree + 8}};
    struct Sibling
    {
        Key parent;
        std::uint64_t hash; // of the upper-cased name
        Key key;
        bool operator<(const Sibling& other) const
        {
            return parent != other.parent ? parent < other.parent : hash < other.hash;
        }
    };
    std::vector<Sibling> siblings;
    while (!stack.empty())
    {
        Pending here = stack.back();
        stack.pop_back();
        if (!validEntry(here.entry))
            return Fail(error, here.linkAt, "key link points outside the key entries");
        const std::size_t entryIndex = (here.entry - treeHeaderSize) / entrySize;
        if (seen[entryIndex])
            return Fail(error, here.linkAt, "key links form a cycle or join");
        seen[entryIndex] = true;
        const std::size_t at = tree + here.entry;
        const std::uint32_t parentLink = Get32(bytes, at + 0x0C);
        if (here.parent != NoKey && parentLink != nodes[here.parent].entry)
            return Fail(error, at + 0x0C, "key's parent link does not match the tree");
        const std::uint32_t id =
            static_cast<std::uint32_t>(Get16(bytes, at + 0x1A)) << 16 | Get16(bytes, at + 0x18);
        const std::uint32_t blockIndex = id >> 16;
        const std::uint32_t slotIndex =
            blockIndex < numbered.size() && (id & 0xFFFF) < numbered[blockIndex].size()
                ? numbered[blockIndex][id & 0xFFFF]
                : none;
        Node node;
        node.parent = here.parent;
        node.entry = here.entry;
        const Key key = static_cast<Key>(nodes.size());
        if (slotIndex != none)
        {
            Slot& slot = blocks[blockIndex].slots[slotIndex];
            if (slot.key != NoKey)
                return Fail(error, at + 0x18, "two keys share one data record");
            slot.key = key;
            node.record = slot.offset;
            node.name.assign(bytes, slot.offset + recordHeaderSize,
                             Get16(bytes, slot.offset + 0x0C));
        }
        else if (here.parent == NoKey)
        {
            // The root needs no record: its name is the file's root key.
            node.recordless = true;
            node.parsed = true;
        }
        else
            return Fail(error, at + 0x18, "key's data record is missing");
        if (here.parent != NoKey)
        {
            if (node.name.empty())
                return Fail(error, node.record + 0x0C, "empty key name");
            // Only ASCII names are checked: in a double-byte code page a
            // trail byte may be a letter that Windows does not upper-case.
            if (IsAscii(node.name) && Get32(bytes, at + 4) != NameHash(node.name))
                return Fail(error, at + 4, "key name hash does not match the name");
            if (here.depth > MaxHive9xDepth)
                return Fail(error, at, "keys nested deeper than 512 levels");
            siblings.push_back({here.parent, NameKey(node.name), key});
            Node& parent = nodes[here.parent];
            if (parent.lastChild == NoKey)
                parent.firstChild = key;
            else
                nodes[parent.lastChild].nextSibling = key;
            parent.lastChild = key;
        }
        nodes.push_back(std::move(node));
        // The next sibling goes below the first child on the stack, so that
        // a key's whole subtree is read before its next sibling and each
        // parent's subkeys are linked in file order.
        const std::uint32_t next = Get32(bytes, at + 0x14);
        const std::uint32_t child = Get32(bytes, at + 0x10);
        if (next != none)
        {
            if (here.parent == NoKey)
                return Fail(error, at + 0x14, "the root key has a sibling");
            stack.push_back({next, here.parent, here.depth, at + 0x14});
        }
        if (child != none)
            stack.push_back({child, key, here.depth + 1, at + 0x10});
    }
    // Siblings whose names are the same in any case: sorted by parent and
    // name hash, such names stand next to each other.
    std::sort(siblings.begin(), siblings.end());
    for (std::size_t i = 1; i < siblings.size(); ++i)
        for (std::size_t j = i; j > 0 && siblings[j - 1].parent == siblings[i].parent &&
                                siblings[j - 1].hash == siblings[i].hash;
             --j)
            if (SameName(nodes[siblings[j - 1].key].name, nodes[siblings[i].key].name))
                return Fail(error, nodes[siblings[i].key].record + recordHeaderSize,
                            "two subkeys with the same name");
    return true;
}

std::vector<Hive9x::Value>& Hive9x::Data::Values(Key key)
{
    Node& node = nodes[key];
    if (node.parsed)
        return node.values;
    node.parsed = true;
    const std::size_t nameLength = Get16(bytes, node.record + 0x0C);
    const std::size_t count = Get16(bytes, node.record + 0x0E);
    std::size_t at = node.record + recordHeaderSize + nameLength;
    node.values.reserve(count);
    node.readAt.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
    {
        node.readAt.push_back(static_cast<std::uint32_t>(at));
        Value value;
        value.type = Get32(bytes, at);
        const std::size_t valueName = Get16(bytes, at + 8);
        const std::size_t valueData = Get16(bytes, at + 0x0A);
        at += valueHeaderSize;
        value.name.assign(bytes, at, valueName);
        value.data =
            CallerData(value.type, std::string_view(bytes).substr(at + valueName, valueData));
        at += valueName + valueData;
        node.values.push_back(std::move(value));
    }
    return node.values;
}

std::size_t Hive9x::Data::ValueBytes(const Node& node, std::size_t index) const
{
    const std::uint32_t at = node.readAt[index];
    if (at != none)
        return valueHeaderSize + Get16(bytes, at + 8) + Get16(bytes, at + 0x0A);
    const Value& value = node.values[index];
    return ValueSize(value.name, value.type, value.data);
}

std::size_t Hive9x::Data::RecordBytes(const Node& node) const
{
    std::size_t size = recordHeaderSize + node.name.size();
    for (std::size_t i = 0; i < node.values.size(); ++i)
        size += ValueBytes(node, i);
    return size;
}

std::vector<Hive9x::Value>::iterator Hive9x::Data::FindValue(Key key, std::string_view name)
{
    std::vector<Value>& values = Values(key);
    return std::find_if(values.begin(), values.end(),
                        [name](const Value& value) { return SameName(value.name, name); });
}

Hive9x::Key Hive9x::Data::AddChild(Key parent, std::string name)
{
    Node node;
    node.name = std::move(name);
    node.parent = parent;
    node.parsed = true;
    node.dirty = true;
    const Key key = static_cast<Key>(nodes.size());
    nodes.push_back(std::move(node));
    Node& up = nodes[parent];
    if (up.lastChild == NoKey)
        up.firstChild = key;
    else
        nodes[up.lastChild].nextSibling = key;
    up.lastChild = key;
    const auto indexed = named.find(parent);
    if (indexed != named.end())
        indexed->second.emplace(NameKey(nodes[key].name), key);
    created.push_back(key);
    changed = true;
    return key;
}

// The record's word at 0x10, which no description gives a meaning: kept.
std::uint32_t Hive9x::Data::RecordHeaderWord(Key key) const
{
    const Node& node = nodes[key];
    return node.record == none ? 0 : Get32(bytes, node.record + 0x10);
}

std::string Hive9x::Data::BuildRecord(Key key, std::uint32_t id, std::uint32_t allocated) const
{
    const Node& node = nodes[key];
    std::string record;
    record.reserve(allocated);
    Append32(record, allocated);
    Append32(record, id);
    Append32(record, static_cast<std::uint32_t>(RecordBytes(node)));
    Append16(record, static_cast<std::uint16_t>(node.name.size()));
    Append16(record, static_cast<std::uint16_t>(node.values.size()));
    Append32(record, RecordHeaderWord(key));
    record += node.name;
    for (std::size_t i = 0; i < node.values.size(); ++i)
    {
        if (node.readAt[i] != none)
        {
            record.append(bytes, node.readAt[i], ValueBytes(node, i));
            continue;
        }
        const Value& value = node.values[i];
        const std::string_view data = StoredData(value.type, value.data);
        Append32(record, value.type);
        Append32(record, 0);
        Append16(record, static_cast<std::uint16_t>(value.name.size()));
        Append16(record, static_cast<std::uint16_t>(data.size()));
        record += value.name;
        record += data;
    }
    record.resize(allocated, '\0');
    return record;
}

namespace
{

// One record of the file being written.
struct OutRecord
{
    Hive9x::Key key;         // NoKey for a record no key owns
    std::uint32_t source;    // file offset of its bytes as read; none when rebuilt
    std::uint32_t allocated; // its length in the output
    std::uint16_t number;
};

struct OutBlock
{
    std::uint32_t source; // file offset of the block as read; none when new
    std::uint32_t sourceIndex;
    std::vector<OutRecord> records;
    std::size_t size = 0;
    bool touched = false; // differs from the block as read
};

} // namespace

bool Hive9x::Data::Emit(const std::function<bool(const char*, std::size_t)>& write) const
{
    auto alive = [this](Key key) { return key != NoKey && !nodes[key].deleted; };
    // Records: each block as read, less the deleted, with changed records in
    // place where they fit; the rest go to the end.
    std::vector<OutBlock> out;
    std::vector<Key> tail;
    for (std::size_t index = 0; index < blocks.size(); ++index)
    {
        const Block& block = blocks[index];
        OutBlock ob{block.offset, static_cast<std::uint32_t>(index), {}, block.size, false};
        std::uint32_t loose = 0; // room left by records gone before the first kept one
        for (const Slot& slot : block.slots)
        {
            bool gone = slot.key != NoKey && !alive(slot.key);
            if (!gone && slot.key != NoKey && nodes[slot.key].dirty &&
                RecordBytes(nodes[slot.key]) > slot.allocated)
            {
                tail.push_back(slot.key);
                gone = true;
            }
            if (gone)
            {
                ob.touched = true;
                if (ob.records.empty())
                    loose += slot.allocated;
                else
                    ob.records.back().allocated += slot.allocated;
                continue;
            }
            OutRecord record{slot.key, slot.offset, slot.allocated + loose, slot.number};
            loose = 0;
            if (slot.key != NoKey && nodes[slot.key].dirty)
            {
                record.source = none;
                ob.touched = true;
            }
            ob.records.push_back(record);
        }
        if (ob.records.empty())
            continue;
        ob.size = blockHeaderSize;
        for (const OutRecord& record : ob.records)
            ob.size += record.allocated;
        out.push_back(std::move(ob));
    }
    for (Key key : created)
        if (alive(key) && !nodes[key].recordless)
            tail.push_back(key);
    // New and moved records go after the last block's, numbered after the
    // highest number it holds.
    std::uint32_t number = 0;
    if (!out.empty())
        for (const OutRecord& record : out.back().records)
            if (record.number != freeNumber)
                number = std::max<std::uint32_t>(number, record.number + 1u);
    for (Key key : tail)
    {
        const auto length = static_cast<std::uint32_t>(RoundUp(RecordBytes(nodes[key]), 4));
        if (out.empty() || out.back().size + length > MaxHive9xBlock || number >= freeNumber)
        {
            out.push_back(OutBlock{none, none, {}, blockHeaderSize, true});
            number = 0;
        }
        out.back().records.push_back(
            OutRecord{key, none, length, static_cast<std::uint16_t>(number++)});
        out.back().size += length;
        out.back().touched = true;
    }
    for (OutBlock& block : out)
        if (block.size % 16 != 0)
        {
            const std::size_t pad = RoundUp(block.size, 16) - block.size;
            block.records.back().allocated += static_cast<std::uint32_t>(pad);
            block.size += pad;
        }

    // Each key's id in the output.
    std::vector<std::uint32_t> ids(nodes.size(), none);
    for (std::size_t b = 0; b < out.size(); ++b)
        for (const OutRecord& record : out[b].records)
            if (record.key != NoKey)
                ids[record.key] = static_cast<std::uint32_t>(b << 16 | record.number);

    // Key entries: those read, in their order, then the new ones.
    std::vector<Key> order;
    order.reserve(nodes.size());
    for (Key key = 0; key < nodes.size(); ++key)
        if (alive(key) && nodes[key].entry != none)
            order.push_back(key);
    std::sort(order.begin(), order.end(),
              [this](Key a, Key b) { return nodes[a].entry < nodes[b].entry; });
    for (Key key : created)
        if (alive(key))
            order.push_back(key);
    std::vector<std::uint32_t> entryOf(nodes.size(), none);
    for (std::size_t i = 0; i < order.size(); ++i)
        entryOf[order[i]] = static_cast<std::uint32_t>(treeHeaderSize + i * entrySize);
    auto link = [&](Key key) { return key == NoKey ? none : entryOf[key]; };
    auto firstAlive = [&](Key key)
    {
        while (key != NoKey && nodes[key].deleted)
            key = nodes[key].nextSibling;
        return key;
    };

    // Entries keep their places when none was added or removed; the tree
    // keeps its size while they fit, and at least 32 spare bytes after the
    // last one (libcreg reads no entry that ends within its last 32 bytes).
    bool sameLayout =
        std::none_of(nodes.begin(), nodes.end(),
                     [](const Node& node) { return node.deleted && node.entry != none; });
    for (std::size_t i = 0; i < order.size() && sameLayout; ++i)
        sameLayout = nodes[order[i]].entry == treeHeaderSize + i * entrySize;
    const std::size_t used = treeHeaderSize + order.size() * entrySize;
    const std::size_t readSize = bytes.empty() ? 0 : Get32(bytes, fileHeaderSize + 4);
    const std::size_t treeSize = std::max(readSize, RoundUp(used + 0x20, 16));
    const std::size_t tree = fileHeaderSize;
    std::string head(fileHeaderSize + treeSize, '\0');
    if (bytes.empty())
    {
        head.replace(0, 4, "CREG");
        Put32(head, 4, 0x00010000);
        head.replace(tree, 4, "RGKN");
    }
    else
        head.replace(0, tree + (sameLayout ? readSize : treeHeaderSize), bytes, 0,
                     tree + (sameLayout ? readSize : treeHeaderSize));
    Put32(head, 8, static_cast<std::uint32_t>(tree + treeSize));
    Put16(head, 0x10, static_cast<std::uint16_t>(out.size()));
    Put32(head, tree + 4, static_cast<std::uint32_t>(treeSize));
    Put32(head, tree + 8, entryOf[0]);
    if (!sameLayout || bytes.empty())
        Put32(head, tree + 0x0C, static_cast<std::uint32_t>(used));
    for (Key key : order)
    {
        const Node& node = nodes[key];
        const std::size_t at = tree + entryOf[key];
        if (node.entry != none)
            head.replace(at, entrySize, bytes, tree + node.entry, entrySize);
        else
        {
            Put32(head, at, 0);
            Put32(head, at + 4, NameHash(node.name));
            Put32(head, at + 8, none);
        }
        Put32(head, at + 0x0C, link(node.parent));
        Put32(head, at + 0x10, link(firstAlive(node.firstChild)));
        Put32(head, at + 0x14, link(firstAlive(node.nextSibling)));
        Put16(head, at + 0x18, static_cast<std::uint16_t>(ids[key]));
        Put16(head, at + 0x1A, static_cast<std::uint16_t>(ids[key] >> 16));
    }
    if (!write(head.data(), head.size()))
        return false;

    for (std::size_t b = 0; b < out.size(); ++b)
    {
        const OutBlock& block = out[b];
        if (!block.touched && block.sourceIndex == b)
        {
            if (!write(bytes.data() + block.source, block.size))
                return false;
            continue;
        }
        std::string text(blockHeaderSize, '\0');
        if (block.source == none)
            text.replace(0, 4, "RGDB");
        else
            text.replace(0, blockHeaderSize, bytes, block.source, blockHeaderSize);
        Put32(text, 4, static_cast<std::uint32_t>(block.size));
        text.reserve(block.size);
        for (const OutRecord& record : block.records)
        {
            const std::size_t at = text.size();
            const std::uint32_t id = record.key == NoKey ? none : ids[record.key];
            if (record.source == none)
                text += BuildRecord(record.key, id, record.allocated);
            else
            {
                const std::size_t kept =
                    std::min<std::size_t>(record.allocated, Get32(bytes, record.source));
                text.append(bytes, record.source, kept);
                text.resize(at + record.allocated, '\0');
                Put32(text, at, record.allocated);
                if (record.number != freeNumber)
                    Put32(text, at + 4, static_cast<std::uint32_t>(b << 16 | record.number));
            }
        }
        if (!write(text.data(), text.size()))
            return false;
    }
    return true;
}

Hive9x::Hive9x(std::unique_ptr<Data> data) : d_(std::move(data)) {}

Hive9x::~Hive9x() = default;

std::unique_ptr<Hive9x> Hive9x::Read(std::string bytes, Hive9xError& error)
{
    auto data = std::make_unique<Data>();
    data->bytes = std::move(bytes);
    if (!data->Load(error))
        return nullptr;
    return std::unique_ptr<Hive9x>(new Hive9x(std::move(data)));
}

std::unique_ptr<Hive9x> Hive9x::Empty()
{
    auto data = std::make_unique<Data>();
    Data::Node root;
    root.parsed = true;
    root.recordless = true;
    data->nodes.push_back(std::move(root));
    data->created.push_back(0);
    return std::unique_ptr<Hive9x>(new Hive9x(std::move(data)));
}

Hive9x::Key Hive9x::Root() const
{
    return 0;
}

void Hive9x::Data::NameChildren(Key parent)
{
    auto& children = named[parent];
    for (Key key = nodes[parent].firstChild; key != NoKey; key = nodes[key].nextSibling)
        if (!nodes[key].deleted)
            children.emplace(NameKey(nodes[key].name), key);
}

Hive9x::Key Hive9x::Find(Key parent, std::string_view name) const
{
    if (!Exists(parent))
        return NoKey;
    const auto indexed = d_->named.find(parent);
    if (indexed != d_->named.end())
    {
        const auto [first, last] = indexed->second.equal_range(NameKey(name));
        for (auto at = first; at != last; ++at)
            if (SameName(d_->nodes[at->second].name, name))
                return at->second;
        return NoKey;
    }
    constexpr std::size_t longWalk = 32;
    std::size_t walked = 0;
    Key found = NoKey;
    for (Key key = d_->nodes[parent].firstChild; key != NoKey && found == NoKey;
         key = d_->nodes[key].nextSibling, ++walked)
        if (!d_->nodes[key].deleted && SameName(d_->nodes[key].name, name))
            found = key;
    if (walked > longWalk)
        d_->NameChildren(parent);
    return found;
}

namespace
{

// Calls `step` with each non-empty name of the path; stops when it
// answers NoKey.
template <typename Step> Hive9x::Key WalkPath(Hive9x::Key from, std::string_view path, Step step)
{
    Hive9x::Key key = from;
    while (key != Hive9x::NoKey && !path.empty())
    {
        const std::size_t end = std::min(path.find('\\'), path.size());
        if (end > 0)
            key = step(key, path.substr(0, end));
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return key;
}

} // namespace

Hive9x::Key Hive9x::Open(Key from, std::string_view path) const
{
    if (!Exists(from))
        return NoKey;
    return WalkPath(from, path, [this](Key key, std::string_view name) { return Find(key, name); });
}

Hive9x::Key Hive9x::Create(Key from, std::string_view path)
{
    if (!Exists(from))
        return NoKey;
    // The whole path is checked first, so that a refused call makes no key.
    std::size_t depth = 0;
    for (Key up = from; up != Root(); up = d_->nodes[up].parent)
        ++depth;
    bool fits = true;
    WalkPath(from, path,
             [&](Key key, std::string_view name)
             {
                 fits = fits && name.size() <= MaxHive9xName && ++depth <= MaxHive9xDepth;
                 return key;
             });
    if (!fits)
        return NoKey;
    return WalkPath(from, path,
                    [this](Key key, std::string_view name)
                    {
                        const Key found = Find(key, name);
                        return found != NoKey ? found : d_->AddChild(key, std::string(name));
                    });
}

Hive9x::Key Hive9x::FirstChild(Key key) const
{
    Key child = d_->nodes[key].firstChild;
    while (child != NoKey && d_->nodes[child].deleted)
        child = d_->nodes[child].nextSibling;
    return child;
}

Hive9x::Key Hive9x::NextSibling(Key key) const
{
    Key next = d_->nodes[key].nextSibling;
    while (next != NoKey && d_->nodes[next].deleted)
        next = d_->nodes[next].nextSibling;
    return next;
}

Hive9x::Key Hive9x::Parent(Key key) const
{
    return d_->nodes[key].parent;
}

std::string_view Hive9x::Name(Key key) const
{
    return d_->nodes[key].name;
}

bool Hive9x::Exists(Key key) const
{
    for (; key != NoKey; key = d_->nodes[key].parent)
        if (key >= d_->nodes.size() || d_->nodes[key].deleted)
            return false;
    return true;
}

const std::vector<Hive9x::Value>& Hive9x::Values(Key key)
{
    return d_->Values(key);
}

const Hive9x::Value* Hive9x::FindValue(Key key, std::string_view name)
{
    auto found = d_->FindValue(key, name);
    return found != d_->nodes[key].values.end() ? &*found : nullptr;
}

Hive9x::Limit Hive9x::CheckKey(Key parent, std::string_view name) const
{
    if (Find(parent, name) != NoKey)
        return Limit::None;
    if (name.size() > MaxHive9xName)
        return Limit::Name;
    std::size_t depth = 1;
    for (Key up = parent; up != Root() && up != NoKey; up = d_->nodes[up].parent)
        ++depth;
    return depth > MaxHive9xDepth ? Limit::Depth : Limit::None;
}

Hive9x::Limit Hive9x::CheckValue(Key key, std::string_view name, std::uint32_t type,
                                 std::string_view data)
{
    if (name.size() > MaxHive9xName)
        return Limit::Name;
    if (StoredData(type, data).size() > MaxHive9xData)
        return Limit::Data;
    Data::Node& node = d_->nodes[key];
    if (node.recordless)
        return Limit::Recordless;
    auto same = d_->FindValue(key, name);
    std::size_t size = d_->RecordBytes(node) + ValueSize(name, type, data);
    if (same != node.values.end())
        size -= d_->ValueBytes(node, static_cast<std::size_t>(same - node.values.begin()));
    return size > maxRecord ? Limit::Record : Limit::None;
}

bool Hive9x::SetValue(Key key, std::string_view name, std::uint32_t type, std::string_view data)
{
    if (!Exists(key) || CheckValue(key, name, type, data) != Limit::None)
        return false;
    Data::Node& node = d_->nodes[key];
    auto same = d_->FindValue(key, name);
    const auto index = static_cast<std::size_t>(same - node.values.begin());
    if (same == node.values.end())
    {
        node.values.push_back(Value{std::string(name), type, std::string(data)});
        node.readAt.push_back(none);
    }
    else
    {
        same->type = type;
        same->data.assign(data);
        node.readAt[index] = none;
    }
    node.dirty = true;
    d_->changed = true;
    return true;
}

bool Hive9x::DeleteValue(Key key, std::string_view name)
{
    if (!Exists(key))
        return false;
    Data::Node& node = d_->nodes[key];
    auto same = d_->FindValue(key, name);
    if (same == node.values.end())
        return false;
    node.readAt.erase(node.readAt.begin() + (same - node.values.begin()));
    node.values.erase(same);
    node.dirty = true;
    d_->changed = true;
    return true;
}

void Hive9x::Delete(Key key)
{
    if (key == Root() || !Exists(key))
        return;
    const auto indexed = d_->named.find(d_->nodes[key].parent);
    if (indexed != d_->named.end())
    {
        const auto [first, last] = indexed->second.equal_range(NameKey(d_->nodes[key].name));
        for (auto at = first; at != last; ++at)
            if (at->second == key)
            {
                indexed->second.erase(at);
                break;
            }
    }
    std::vector<Key> below{key};
    while (!below.empty())
    {
        const Key next = below.back();
        below.pop_back();
        d_->nodes[next].deleted = true;
        d_->named.erase(next);
        for (Key child = FirstChild(next); child != NoKey; child = NextSibling(child))
            below.push_back(child);
    }
    d_->changed = true;
}

bool Hive9x::Changed() const
{
    return d_->changed;
}

bool Hive9x::Write(const std::function<bool(const char*, std::size_t)>& write) const
{
    return d_->Emit(write);
}

} // namespace win95
