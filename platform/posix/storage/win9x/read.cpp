// Reading a Windows 9x registry file and checking every structure and
// every piece of bookkeeping that Windows' allocator relies on, so that a
// file is changed only when a change cannot hand out space or numbers
// that are in use.
#include "platform/posix/storage/win9x/format.h"

#include <algorithm>
#include <cstdio>

namespace win95
{
namespace hive9x
{

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

std::uint64_t NameKey(std::string_view name)
{
    std::uint64_t hash = 14695981039346656037u;
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(AsciiUpper(c))) * 1099511628211u;
    return hash;
}

std::uint32_t NameHash(std::string_view name)
{
    std::uint32_t hash = 0;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x80)
            hash += static_cast<unsigned char>(AsciiUpper(c));
    return hash;
}

namespace
{

std::uint32_t ContiguousEntriesEnd(std::uint32_t size)
{
    const std::uint32_t end = std::min(size, contiguousEnd);
    return end < treeHeaderSize ? treeHeaderSize
                                : treeHeaderSize + (end - treeHeaderSize) / entrySize * entrySize;
}

} // namespace

std::uint32_t TreeGeometry::EntriesEnd(std::uint32_t offset) const
{
    if (offset < contiguousEnd)
        return ContiguousEntriesEnd(size);
    return (offset & ~(pageSize - 1)) + entriesPerPage * entrySize;
}

std::uint32_t TreeGeometry::RegionEnd(std::uint32_t offset) const
{
    if (offset < contiguousEnd)
        return std::min(size, contiguousEnd);
    return (offset & ~(pageSize - 1)) + pageSize;
}

bool TreeGeometry::IsEntry(std::uint32_t offset) const
{
    if (offset < treeHeaderSize || offset > size || size - offset < entrySize)
        return false;
    const std::uint32_t start = offset < contiguousEnd ? treeHeaderSize : offset & ~(pageSize - 1);
    return (offset - start) % entrySize == 0 && offset + entrySize <= EntriesEnd(offset);
}

std::uint32_t TreeGeometry::Next(std::uint32_t offset) const
{
    const std::uint32_t next = offset + entrySize;
    return next + entrySize > EntriesEnd(offset) ? RegionEnd(offset) : next;
}

std::size_t TreeGeometry::Index(std::uint32_t offset) const
{
    if (offset < contiguousEnd)
        return (offset - treeHeaderSize) / entrySize;
    const std::size_t first = (ContiguousEntriesEnd(size) - treeHeaderSize) / entrySize;
    return first + (offset - contiguousEnd) / pageSize * entriesPerPage +
           (offset & (pageSize - 1)) / entrySize;
}

std::size_t TreeGeometry::Count() const
{
    const std::size_t first = (ContiguousEntriesEnd(size) - treeHeaderSize) / entrySize;
    return first + (size > contiguousEnd ? (size - contiguousEnd) / pageSize * entriesPerPage : 0);
}

} // namespace hive9x

using namespace hive9x;

namespace
{

bool Note(std::vector<Hive9xFinding>& problems, std::size_t offset, std::string what,
          bool unusual = false)
{
    char where[32];
    std::snprintf(where, sizeof where, "offset 0x%zx", offset);
    problems.push_back(Hive9xFinding{Fault{where, std::move(what)}, unusual});
    return false;
}

bool IsAscii(std::string_view name)
{
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

void Hive9x::Data::Load(std::vector<Hive9xFinding>& problems)
{
    const std::size_t size = bytes.size();
    if (size < 4 || bytes.compare(0, 4, "CREG") != 0)
    {
        Note(problems, 0, "not a Windows 9x registry file (no CREG signature)");
        return;
    }
    if (size < fileHeaderSize + treeHeaderSize)
    {
        Note(problems, size, "truncated file (it ends inside the headers)");
        return;
    }
    if (Get16(bytes, 6) != 1)
    {
        Note(problems, 6, "unknown format version");
        return;
    }
    if (Get16(bytes, 0x12) != 0x20 || Get16(bytes, 0x16) != 1)
        Note(problems, 0x12, "header words differ from Windows' 0x20 and 1", true);
    if (bytes.compare(treeAt, 4, "RGKN") != 0)
    {
        Note(problems, treeAt, "no RGKN key tree after the header");
        return;
    }
    treeSize = Get32(bytes, treeAt + 4);
    if (treeSize < pageSize || treeSize % pageSize != 0)
    {
        Note(problems, treeAt + 4, "bad key tree size (not whole 4096-byte pages)");
        return;
    }
    if (treeSize > size - treeAt)
    {
        Note(problems, treeAt + 4, "truncated file (the key tree runs past its end)");
        return;
    }
    if (Get16(bytes, treeAt + 0x10) != headerFlags)
        Note(problems, treeAt + 0x10, "key tree flags differ from Windows' 8", true);
    if (Get32(bytes, 8) != treeAt + treeSize)
        Note(problems, 8, "the first data block is not right after the key tree");
    std::vector<bool> covered(TreeGeometry{treeSize}.Count());
    const bool treeFreeSound = LoadTreeFree(covered, problems);
    const bool blocksSound = LoadBlocks(problems);
    if (blocksSound)
        LoadTree(covered, problems);
    if (blocksSound && treeFreeSound)
    {
        const auto hole = std::find(covered.begin(), covered.end(), false);
        if (hole != covered.end())
        {
            const TreeGeometry geometry{treeSize};
            std::uint32_t at = treeHeaderSize;
            for (auto i = covered.begin(); i != hole; ++i)
                at = geometry.Next(at);
            Note(problems, treeAt + at, "key entry neither in use nor free");
        }
    }
}

// The chain of free runs: each run starts where an entry may stand, holds
// whole entries (and perhaps the unused end of its region) and meets no
// other run or entry.
bool Hive9x::Data::LoadTreeFree(std::vector<bool>& covered, std::vector<Hive9xFinding>& problems)
{
    const TreeGeometry geometry{treeSize};
    std::size_t linkAt = treeAt + 0x0C;
    for (std::uint32_t run = Get32(bytes, linkAt); run != none; run = Get32(bytes, linkAt))
    {
        if (!geometry.IsEntry(run))
            return Note(problems, linkAt, "free key entry link points outside the key entries");
        const std::size_t at = treeAt + run;
        const std::uint32_t runSize = Get32(bytes, at + 4);
        if (Get32(bytes, at) != freeRunMark)
            return Note(problems, at, "free key entry not marked free");
        if (runSize < entrySize || runSize > treeSize - run)
            return Note(problems, at + 4, "bad size of a free key entry run");
        const std::uint32_t end = run + runSize;
        std::uint32_t entry = run;
        for (; entry + entrySize <= end; entry = geometry.Next(entry))
        {
            const std::size_t index = geometry.Index(entry);
            if (!geometry.IsEntry(entry) || covered[index])
                return Note(problems, at, "free key entries overlap others");
            covered[index] = true;
        }
        if (entry < end)
            return Note(problems, at + 4, "free key entry run ends inside an entry");
        treeFree.push_back(Run{run, runSize});
        linkAt = at + 8;
    }
    return true;
}

bool Hive9x::Data::LoadBlocks(std::vector<Hive9xFinding>& problems)
{
    const std::size_t size = bytes.size();
    // A file whose root has no subkeys may have no data blocks at all.
    const std::size_t count = Get16(bytes, 0x10);
    blocks.reserve(count);
    std::size_t at = treeAt + treeSize;
    for (std::size_t index = 0; index < count; ++index)
    {
        if (size - at < blockHeaderSize)
            return Note(problems, at, "truncated file (a data block is missing)");
        if (bytes.compare(at, 4, "RGDB") != 0)
            return Note(problems, at, "no RGDB signature where a data block starts");
        const std::size_t blockSize = Get32(bytes, at + 4);
        if (blockSize < pageSize || blockSize % pageSize != 0)
            return Note(problems, at + 4, "bad data block size (not whole 4096-byte pages)");
        if (blockSize > maxBlockSize)
            return Note(problems, at + 4, "data block longer than 65536 bytes");
        if (blockSize > size - at)
            return Note(problems, at + 4, "truncated file (a data block runs past its end)");
        if (!LoadBlock(index, at, problems))
            return false;
        at += blockSize;
    }
    if (at != size)
        return Note(problems, at, "data after the last data block");
    return true;
}

bool Hive9x::Data::LoadBlock(std::size_t index, std::size_t at,
                             std::vector<Hive9xFinding>& problems)
{
    const auto blockSize = Get32(bytes, at + 4);
    if (Get16(bytes, at + 0x0C) != headerFlags)
        Note(problems, at + 0x0C, "data block flags differ from Windows' 8", true);
    if (Get16(bytes, at + 0x0E) != index)
        return Note(problems, at + 0x0E, "data block's index does not match its place");
    Block block{static_cast<std::uint32_t>(at), blockSize, {}, {}};
    std::vector<bool> numbers(maxNumber + 2u);
    std::size_t freeBytes = 0;
    std::size_t used = 0;
    int highest = -1;
    for (std::uint32_t record = blockHeaderSize; record < blockSize;)
    {
        const std::size_t here = at + record;
        if (blockSize - record < freeRecordHeaderSize)
            return Note(problems, here, "data record runs past its block");
        const std::uint32_t length = Get32(bytes, here);
        const auto number = Get16(bytes, here + 4);
        const std::size_t least = number == freeNumber ? freeRecordHeaderSize : recordHeaderSize;
        if (length < least || length > blockSize - record)
            return Note(problems, here, "bad data record length");
        if (number == freeNumber)
            freeBytes += length;
        else
        {
            if (Get16(bytes, here + 6) != index)
                return Note(problems, here + 4, "data record's id names another block");
            if (number > maxNumber)
                return Note(problems, here + 4, "data record numbered above 254");
            if (numbers[number])
                return Note(problems, here + 4, "two data records with the same id");
            if (!CheckRecord(here, length, problems))
                return false;
            numbers[number] = true;
            highest = std::max<int>(highest, number);
            ++used;
        }
        block.slots.push_back(Slot{record, length, number, NoKey});
        record += length;
    }
    // The chain of free records, which must hold each of them once.
    std::size_t linkAt = at + 0x10;
    std::size_t chained = 0;
    for (std::uint32_t link = Get32(bytes, linkAt); link != none; link = Get32(bytes, linkAt))
    {
        const auto slot =
            std::lower_bound(block.slots.begin(), block.slots.end(), link,
                             [](const Slot& s, std::uint32_t offset) { return s.offset < offset; });
        if (slot == block.slots.end() || slot->offset != link || slot->number != freeNumber)
            return Note(problems, linkAt, "free record link points at no free record");
        if (++chained > block.slots.size())
            return Note(problems, linkAt, "free records' chain runs in a circle");
        block.freeChain.push_back(link);
        linkAt = at + link + 8;
    }
    const std::size_t freeCount = static_cast<std::size_t>(
        std::count_if(block.slots.begin(), block.slots.end(),
                      [](const Slot& s) { return s.number == freeNumber; }));
    if (chained != freeCount)
        Note(problems, at + 0x10, "free records left out of the block's chain");
    if (Get32(bytes, at + 8) != freeBytes)
        Note(problems, at + 8, "data block's unused size differs from its free records");
    if (used > maxNumber + 1u)
        Note(problems, at, "data block holds more than 255 records");
    if (static_cast<int>(Get16(bytes, at + 0x14)) < highest)
        Note(problems, at + 0x14, "data block's max_id is below a key number in use");
    const auto lowestFree = std::find(numbers.begin(), numbers.end(), false) - numbers.begin();
    if (Get16(bytes, at + 0x16) != lowestFree)
        Note(problems, at + 0x16, "data block's first_free_id is not its lowest free number");
    blocks.push_back(std::move(block));
    return true;
}

// A key's record: its name and values lie inside its length, within the
// limits Windows 9x keeps to.
bool Hive9x::Data::CheckRecord(std::size_t at, std::size_t length,
                               std::vector<Hive9xFinding>& problems) const
{
    const std::size_t used = Get32(bytes, at + 8);
    const std::size_t nameLength = Get16(bytes, at + 0x0C);
    const std::size_t valueCount = Get16(bytes, at + 0x0E);
    if (used > length)
        return Note(problems, at + 8, "data record uses more than its length");
    if (nameLength > MaxHive9xName)
        return Note(problems, at + 0x0C, "key name longer than 255 bytes");
    std::size_t next = recordHeaderSize + nameLength;
    if (next > length)
        return Note(problems, at + 0x0C, "key name runs past its record");
    for (std::size_t value = 0; value < valueCount; ++value)
    {
        if (length - next < valueHeaderSize)
            return Note(problems, at + next, "value runs past its record");
        const std::size_t valueName = Get16(bytes, at + next + 8);
        const std::size_t valueData = Get16(bytes, at + next + 0x0A);
        if (valueName > MaxHive9xName)
            return Note(problems, at + next + 8, "value name longer than 255 bytes");
        if (valueData > MaxHive9xData)
            return Note(problems, at + next + 0x0A, "value data longer than 16300 bytes");
        next += valueHeaderSize;
        if (valueName + valueData > length - next)
            return Note(problems, at + next, "value runs past its record");
        next += valueName + valueData;
    }
    return true;
}

// For each block, the slot of each key number in use.
Hive9x::Data::Numbered Hive9x::Data::SlotsByNumber() const
{
    Numbered numbered(blocks.size());
    for (std::size_t b = 0; b < blocks.size(); ++b)
    {
        numbered[b].assign(maxNumber + 1u, none);
        for (std::size_t s = 0; s < blocks[b].slots.size(); ++s)
            if (blocks[b].slots[s].number != freeNumber)
                numbered[b][blocks[b].slots[s].number] = static_cast<std::uint32_t>(s);
    }
    return numbered;
}

void Hive9x::Data::LoadTree(std::vector<bool>& covered, std::vector<Hive9xFinding>& problems)
{
    const TreeGeometry geometry{treeSize};
    const std::uint32_t root = Get32(bytes, treeAt + 8);
    if (!geometry.IsEntry(root))
    {
        Note(problems, treeAt + 8, "bad offset of the root key");
        return;
    }
    const Numbered numbered = SlotsByNumber();
    std::vector<Pending> stack{{root, NoKey, 0, treeAt + 8}};
    nodes.reserve(geometry.Count());
    while (!stack.empty())
    {
        const Pending here = stack.back();
        stack.pop_back();
        if (!LoadEntry(here, numbered, covered, stack, problems))
            return;
    }
    CheckNames(problems);
}

// Reads the key entry that `here` leads to, links its key under its
// parent, and puts its next sibling and first subkey on the stack: the
// next sibling below the first subkey, so that a key's whole subtree is
// read before its next sibling and each parent's subkeys are linked in
// file order.
bool Hive9x::Data::LoadEntry(const Pending& here, const Numbered& numbered,
                             std::vector<bool>& covered, std::vector<Pending>& stack,
                             std::vector<Hive9xFinding>& problems)
{
    const TreeGeometry geometry{treeSize};
    if (!geometry.IsEntry(here.entry))
        return Note(problems, here.linkAt, "key link points outside the key entries");
    const std::size_t index = geometry.Index(here.entry);
    if (covered[index])
        return Note(problems, here.linkAt, "key links form a cycle or join, or reach a free entry");
    covered[index] = true;
    const std::size_t at = treeAt + here.entry;
    if (here.parent != NoKey && Get32(bytes, at + 0x0C) != nodes[here.parent].entry)
        return Note(problems, at + 0x0C, "key's parent link does not match the tree");
    Node node;
    node.parent = here.parent;
    node.entry = here.entry;
    const Key key = static_cast<Key>(nodes.size());
    if (!LoadRecordOf(node, key, at, numbered, problems))
        return false;
    if (here.parent != NoKey)
    {
        if (!CheckKeyEntry(node, at, here.depth, problems))
            return false;
        Node& parent = nodes[here.parent];
        if (parent.lastChild == NoKey)
            parent.firstChild = key;
        else
            nodes[parent.lastChild].nextSibling = key;
        parent.lastChild = key;
    }
    nodes.push_back(std::move(node));
    const std::uint32_t next = Get32(bytes, at + 0x14);
    const std::uint32_t child = Get32(bytes, at + 0x10);
    if (next != none)
    {
        if (here.parent == NoKey)
            return Note(problems, at + 0x14, "the root key has a sibling");
        stack.push_back({next, here.parent, here.depth, at + 0x14});
    }
    if (child != none)
        stack.push_back({child, key, here.depth + 1, at + 0x10});
    return true;
}

// The key's record, found by the id in its entry at `at`, and its name
// from there; the root needs none, its name being the file's root key.
bool Hive9x::Data::LoadRecordOf(Node& node, Key key, std::size_t at, const Numbered& numbered,
                                std::vector<Hive9xFinding>& problems)
{
    const std::uint32_t id =
        static_cast<std::uint32_t>(Get16(bytes, at + 0x1A)) << 16 | Get16(bytes, at + 0x18);
    const std::uint32_t blockIndex = id >> 16;
    const std::uint32_t slotIndex = blockIndex < numbered.size() && (id & 0xFFFF) <= maxNumber
                                        ? numbered[blockIndex][id & 0xFFFF]
                                        : none;
    if (slotIndex == none)
    {
        if (node.parent != NoKey)
            return Note(problems, at + 0x18, "key's data record is missing");
        node.recordless = true;
        node.parsed = true;
        return true;
    }
    Slot& slot = blocks[blockIndex].slots[slotIndex];
    if (slot.key != NoKey)
        return Note(problems, at + 0x18, "two keys share one data record");
    slot.key = key;
    node.id = id;
    node.record = blocks[blockIndex].offset + slot.offset;
    node.name.assign(bytes, node.record + recordHeaderSize, Get16(bytes, node.record + 0x0C));
    return true;
}

// A key below the root: its name, the hash of it in its entry at `at`,
// and its depth.
bool Hive9x::Data::CheckKeyEntry(const Node& node, std::size_t at, std::size_t depth,
                                 std::vector<Hive9xFinding>& problems) const
{
    if (node.name.empty())
        return Note(problems, node.record + 0x0C, "empty key name");
    // Only ASCII names are checked: in a double-byte code page a trail
    // byte may be a letter that Windows does not upper-case.
    if (IsAscii(node.name) && Get32(bytes, at + 4) != NameHash(node.name))
        return Note(problems, at + 4, "key name hash does not match the name");
    if (depth > MaxHive9xDepth)
        return Note(problems, at, "keys nested deeper than 512 levels");
    return true;
}

// Siblings whose names are the same in any case: sorted by parent and
// name hash, such names stand next to each other.
void Hive9x::Data::CheckNames(std::vector<Hive9xFinding>& problems) const
{
    struct Sibling
    {
        Key parent;
        std::uint64_t hash;
        Key key;
        bool operator<(const Sibling& other) const
        {
            return parent != other.parent ? parent < other.parent : hash < other.hash;
        }
    };
    std::vector<Sibling> siblings;
    siblings.reserve(nodes.size());
    for (Key key = 1; key < nodes.size(); ++key)
        siblings.push_back({nodes[key].parent, NameKey(nodes[key].name), key});
    std::sort(siblings.begin(), siblings.end());
    for (std::size_t i = 1; i < siblings.size(); ++i)
        for (std::size_t j = i; j > 0 && siblings[j - 1].parent == siblings[i].parent &&
                                siblings[j - 1].hash == siblings[i].hash;
             --j)
            if (SameName(nodes[siblings[j - 1].key].name, nodes[siblings[i].key].name))
            {
                Note(problems, nodes[siblings[i].key].record + recordHeaderSize,
                     "two subkeys with the same name");
                return;
            }
}

std::vector<Hive9xFinding> Hive9x::Check(std::string bytes)
{
    Data data;
    data.bytes = std::move(bytes);
    std::vector<Hive9xFinding> problems;
    data.Load(problems);
    return problems;
}

std::unique_ptr<Hive9x> Hive9x::Read(std::string bytes, Fault& fault)
{
    auto data = std::make_unique<Data>();
    data->bytes = std::move(bytes);
    std::vector<Hive9xFinding> problems;
    data->Load(problems);
    for (const Hive9xFinding& problem : problems)
        if (!problem.unusual)
        {
            fault = problem.fault;
            return nullptr;
        }
    return std::unique_ptr<Hive9x>(new Hive9x(std::move(data)));
}

} // namespace win95
