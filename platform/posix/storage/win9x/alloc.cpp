// The allocator of key entries and records. Where it has a choice it does
// what keeps the file compact and its changes few: a freed entry or record
// goes to the head of its chain, so that the next one taken reuses it;
// within a block the smallest free record that fits is taken, so that
// large free records stay whole for large keys; a key that grows stays in
// its block where it can, keeping its number and so its entry's id.
#include "platform/posix/storage/win9x/alloc.h"

#include <algorithm>

namespace win95
{
namespace hive9x
{

namespace
{

std::uint32_t RoundUp(std::uint32_t size, std::uint32_t unit)
{
    return (size + unit - 1) / unit * unit;
}

} // namespace

TreeSpace::TreeSpace(std::string tree, std::vector<Run> free)
    : bytes_(std::move(tree)), free_(std::move(free))
{
}

std::uint32_t TreeSpace::Take()
{
    if (free_.empty())
        Grow();
    const TreeGeometry geometry{static_cast<std::uint32_t>(bytes_.size())};
    Run& run = free_.front();
    const std::uint32_t entry = run.offset;
    const std::uint32_t end = run.offset + run.size;
    const std::uint32_t next = geometry.Next(entry);
    if (next < end && end - next >= entrySize)
        run = Run{next, end - next};
    else
        free_.erase(free_.begin());
    return entry;
}

void TreeSpace::Give(std::uint32_t entry)
{
    free_.insert(free_.begin(), Run{entry, entrySize});
}

// A new page's entries are one free run; a tree still inside its first two
// pages widens its contiguous entries instead.
void TreeSpace::Grow()
{
    const auto size = static_cast<std::uint32_t>(bytes_.size());
    const std::uint32_t start = size >= contiguousEnd ? size : TreeGeometry{size}.EntriesEnd(0);
    bytes_.resize(size + pageSize, '\0');
    free_.push_back(Run{start, size + pageSize - start});
}

std::string& TreeSpace::Bytes()
{
    return bytes_;
}

std::string& TreeSpace::Seal()
{
    Put32(bytes_, 4, static_cast<std::uint32_t>(bytes_.size()));
    Put32(bytes_, 0x0C, free_.empty() ? none : free_.front().offset);
    for (std::size_t i = 0; i < free_.size(); ++i)
    {
        const std::uint32_t at = free_[i].offset;
        Put32(bytes_, at, freeRunMark);
        Put32(bytes_, at + 4, free_[i].size);
        Put32(bytes_, at + 8, i + 1 < free_.size() ? free_[i + 1].offset : none);
    }
    return bytes_;
}

RecordSpace::RecordSpace(const std::string& file, const std::vector<Block>& blocks) : file_(file)
{
    spaces_.resize(blocks.size());
    for (std::size_t b = 0; b < blocks.size(); ++b)
    {
        Space& space = spaces_[b];
        space.sourceAt = blocks[b].offset;
        space.size = blocks[b].size;
        space.maxId = Get16(file, blocks[b].offset + 0x14);
        space.chain = blocks[b].freeChain;
        space.slots.reserve(blocks[b].slots.size());
        for (const Slot& slot : blocks[b].slots)
        {
            space.slots.push_back(slot);
            if (slot.number != freeNumber)
                Use(space, slot.number);
        }
        Measure(space);
    }
}

void RecordSpace::Touch(Space& space)
{
    if (space.touched)
        return;
    space.bytes.assign(file_, space.sourceAt, space.size);
    space.touched = true;
}

std::size_t RecordSpace::SlotAt(const Space& space, std::uint32_t offset)
{
    return static_cast<std::size_t>(std::lower_bound(space.slots.begin(), space.slots.end(), offset,
                                                     [](const Slot& slot, std::uint32_t at)
                                                     { return slot.offset < at; }) -
                                    space.slots.begin());
}

void RecordSpace::Unchain(Space& space, std::uint32_t offset)
{
    space.chain.erase(std::find(space.chain.begin(), space.chain.end(), offset));
}

void RecordSpace::Measure(Space& space)
{
    space.largestFree = 0;
    for (const Slot& slot : space.slots)
        if (slot.number == freeNumber)
            space.largestFree = std::max(space.largestFree, slot.length);
}

void RecordSpace::Use(Space& space, std::uint16_t number)
{
    space.numbers.set(number);
    while (space.lowestFree <= maxNumber && space.numbers.test(space.lowestFree))
        ++space.lowestFree;
}

void RecordSpace::Release(Space& space, std::uint16_t number)
{
    space.numbers.reset(number);
    space.lowestFree = std::min(space.lowestFree, number);
}

// The slot becomes free, merged with the free records on either side, and
// goes to the head of the chain.
void RecordSpace::FreeSlot(Space& space, std::size_t slot)
{
    space.slots[slot].number = freeNumber;
    space.slots[slot].key = Hive9x::NoKey;
    if (slot + 1 < space.slots.size() && space.slots[slot + 1].number == freeNumber)
    {
        Unchain(space, space.slots[slot + 1].offset);
        space.slots[slot].length += space.slots[slot + 1].length;
        space.slots.erase(space.slots.begin() + static_cast<std::ptrdiff_t>(slot) + 1);
    }
    if (slot > 0 && space.slots[slot - 1].number == freeNumber)
    {
        Unchain(space, space.slots[slot - 1].offset);
        space.slots[slot - 1].length += space.slots[slot].length;
        space.slots.erase(space.slots.begin() + static_cast<std::ptrdiff_t>(slot));
        --slot;
    }
    space.chain.insert(space.chain.begin(), space.slots[slot].offset);
    Measure(space);
}

void RecordSpace::Free(std::size_t block, std::uint32_t offset, bool keepNumber)
{
    Space& space = spaces_[block];
    Touch(space);
    const std::size_t slot = SlotAt(space, offset);
    if (!keepNumber)
        Release(space, space.slots[slot].number);
    FreeSlot(space, slot);
}

std::uint32_t RecordSpace::Shrink(std::size_t block, std::uint32_t offset, std::uint32_t length)
{
    Space& space = spaces_[block];
    const std::size_t slot = SlotAt(space, offset);
    Slot& kept = space.slots[slot];
    if (kept.length - length < recordHeaderSize)
        return kept.length;
    Touch(space);
    const Slot rest{offset + length, kept.length - length, freeNumber, Hive9x::NoKey};
    kept.length = length;
    space.slots.insert(space.slots.begin() + static_cast<std::ptrdiff_t>(slot) + 1, rest);
    FreeSlot(space, slot + 1);
    return length;
}

bool RecordSpace::Fits(const Space& space, std::uint32_t length, bool needsNumber) const
{
    return space.largestFree >= length && (!needsNumber || space.lowestFree <= maxNumber);
}

// Takes `length` bytes from the start of a free record; the rest stays a
// free record in the same place of the chain when it can hold a record,
// and is otherwise the new record's spare room.
Place RecordSpace::Carve(std::size_t block, std::size_t slot, std::uint32_t length,
                         std::uint16_t number)
{
    Space& space = spaces_[block];
    Touch(space);
    Slot& taken = space.slots[slot];
    const auto link = std::find(space.chain.begin(), space.chain.end(), taken.offset);
    if (taken.length - length >= recordHeaderSize)
    {
        *link = taken.offset + length;
        const Slot rest{taken.offset + length, taken.length - length, freeNumber, Hive9x::NoKey};
        taken.length = length;
        space.slots.insert(space.slots.begin() + static_cast<std::ptrdiff_t>(slot) + 1, rest);
    }
    else
        space.chain.erase(link);
    Slot& record = space.slots[slot];
    record.number = number;
    Use(space, number);
    Measure(space);
    return Place{block, record.offset, record.length, number};
}

// Grows the block by whole pages until its last free record holds
// `length` bytes; false when that would pass the largest block.
bool RecordSpace::Extend(std::size_t block, std::uint32_t length)
{
    Space& space = spaces_[block];
    const bool freeEnd = !space.slots.empty() && space.slots.back().number == freeNumber;
    const std::uint32_t have = freeEnd ? space.slots.back().length : 0;
    const std::uint32_t size = space.size + RoundUp(length - have, pageSize);
    if (size > maxBlockSize)
        return false;
    Touch(space);
    const std::uint32_t added = size - space.size;
    space.bytes.resize(size, '\0');
    if (freeEnd)
        space.slots.back().length += added;
    else
    {
        space.slots.push_back(Slot{space.size, added, freeNumber, Hive9x::NoKey});
        space.chain.insert(space.chain.begin(), space.size);
    }
    space.size = size;
    Measure(space);
    return true;
}

void RecordSpace::AddBlock(std::uint32_t length)
{
    Space space;
    space.size = RoundUp(static_cast<std::uint32_t>(blockHeaderSize) + length, pageSize);
    space.bytes.assign(space.size, '\0');
    space.bytes.replace(0, 4, "RGDB");
    Put16(space.bytes, 0x0C, headerFlags);
    Put16(space.bytes, 0x0E, static_cast<std::uint16_t>(spaces_.size()));
    space.touched = true;
    const auto first = static_cast<std::uint32_t>(blockHeaderSize);
    space.slots.push_back(Slot{first, space.size - first, freeNumber, Hive9x::NoKey});
    space.chain.push_back(first);
    Measure(space);
    spaces_.push_back(std::move(space));
}

Place RecordSpace::Take(std::uint32_t length, std::size_t own, std::uint16_t number)
{
    const Place place = TakeSomewhere(length, own, number);
    if (own != SIZE_MAX && place.block != own)
        Release(spaces_[own], number);
    return place;
}

Place RecordSpace::TakeSomewhere(std::uint32_t length, std::size_t own, std::uint16_t number)
{
    auto bestFit = [&](std::size_t block)
    {
        const Space& space = spaces_[block];
        std::size_t best = SIZE_MAX;
        for (std::uint32_t offset : space.chain)
        {
            const std::size_t slot = SlotAt(space, offset);
            if (space.slots[slot].length >= length &&
                (best == SIZE_MAX || space.slots[slot].length < space.slots[best].length))
                best = slot;
        }
        return best;
    };
    if (own != SIZE_MAX && Fits(spaces_[own], length, false))
        return Carve(own, bestFit(own), length, number);
    for (std::size_t block = 0; block < spaces_.size(); ++block)
        if (block != own && Fits(spaces_[block], length, true))
            return Carve(block, bestFit(block), length, spaces_[block].lowestFree);
    if (!spaces_.empty())
    {
        const std::size_t last = spaces_.size() - 1;
        const bool keeps = last == own;
        if ((keeps || spaces_[last].lowestFree <= maxNumber) && Extend(last, length))
            return Carve(last, spaces_[last].slots.size() - 1, length,
                         keeps ? number : spaces_[last].lowestFree);
    }
    AddBlock(length);
    return Carve(spaces_.size() - 1, 0, length, 0);
}

std::string& RecordSpace::Bytes(std::size_t block)
{
    Touch(spaces_[block]);
    return spaces_[block].bytes;
}

std::size_t RecordSpace::Count() const
{
    return spaces_.size();
}

std::string_view RecordSpace::Sealed(std::size_t block)
{
    Space& space = spaces_[block];
    if (!space.touched)
        return std::string_view(file_).substr(space.sourceAt, space.size);
    std::string& bytes = space.bytes;
    std::uint32_t unused = 0;
    int highest = -1;
    for (const Slot& slot : space.slots)
        if (slot.number == freeNumber)
        {
            unused += slot.length;
            Put32(bytes, slot.offset, slot.length);
            Put32(bytes, slot.offset + 4, none);
        }
        else
            highest = std::max<int>(highest, slot.number);
    for (std::size_t i = 0; i < space.chain.size(); ++i)
        Put32(bytes, space.chain[i] + 8, i + 1 < space.chain.size() ? space.chain[i + 1] : none);
    Put32(bytes, 4, space.size);
    Put32(bytes, 8, unused);
    Put32(bytes, 0x10, space.chain.empty() ? none : space.chain.front());
    Put16(bytes, 0x14, static_cast<std::uint16_t>(std::max<int>(space.maxId, highest)));
    Put16(bytes, 0x16, space.lowestFree);
    return bytes;
}

} // namespace hive9x
} // namespace win95
