// Space in a Windows 9x registry file as Windows' own allocator keeps it:
// key entries taken from and given back to the tree's chain of free runs,
// the tree grown a page at a time; records taken from free records (split
// where the rest can still hold a record), freed records merged with free
// neighbours, blocks grown or added in whole pages; every block's chain,
// unused size, max_id and first_free_id kept exact.
#pragma once

#include "platform/posix/storage/win9x/format.h"

#include <bitset>

namespace win95
{
namespace hive9x
{

// The key tree being written.
class TreeSpace
{
  public:
    TreeSpace(std::string tree, std::vector<Run> free);

    // An entry from the first free run, the tree grown by a page when none is left.
    std::uint32_t Take();
    // The entry becomes a free run of its own at the head of the chain.
    void Give(std::uint32_t entry);
    // The tree's bytes, to write entries into.
    std::string& Bytes();
    // The tree with its header and free runs brought up to date.
    std::string& Seal();

  private:
    void Grow();

    std::string bytes_; // the tree, from its header on
    std::vector<Run> free_;
};

// Where a record was put.
struct Place
{
    std::size_t block;
    std::uint32_t offset; // in the block
    std::uint32_t length;
    std::uint16_t number;
};

// The data blocks being written.
class RecordSpace
{
  public:
    RecordSpace(const std::string& file, const std::vector<Block>& blocks);

    // The record at that place becomes free; its number too, unless kept
    // for the key that moves within the block.
    void Free(std::size_t block, std::uint32_t offset, bool keepNumber = false);
    // A record of the key's is cut to `length` bytes, when what it leaves
    // can be a free record; answers the length it keeps.
    std::uint32_t Shrink(std::size_t block, std::uint32_t offset, std::uint32_t length);
    // Room for a record of `length` bytes: in block `own` first, with the
    // number `number` that the key keeps there, then in the first block
    // with a free record that fits, then at the end of the last block,
    // grown in whole pages, then in a new block.
    Place Take(std::uint32_t length, std::size_t own = SIZE_MAX, std::uint16_t number = 0);
    // The block's bytes, to write a record into.
    std::string& Bytes(std::size_t block);
    std::size_t Count() const;
    // Each block as it is to be written: the block as read when untouched.
    std::string_view Sealed(std::size_t block);

  private:
    struct Space
    {
        std::size_t sourceAt = SIZE_MAX; // its offset in the file as read
        std::uint32_t size = 0;
        std::string bytes; // its bytes once touched
        bool touched = false;
        std::vector<Slot> slots;
        std::vector<std::uint32_t> chain;
        std::bitset<256> numbers;     // in use
        std::uint16_t lowestFree = 0; // the lowest number not in use; 0xFF when all are
        std::uint16_t maxId = 0;
        std::uint32_t largestFree = 0;
    };

    void Touch(Space& space);
    void FreeSlot(Space& space, std::size_t slot);
    Place TakeSomewhere(std::uint32_t length, std::size_t own, std::uint16_t number);
    bool Fits(const Space& space, std::uint32_t length, bool needsNumber) const;
    Place Carve(std::size_t block, std::size_t slot, std::uint32_t length, std::uint16_t number);
    bool Extend(std::size_t block, std::uint32_t length);
    void AddBlock(std::uint32_t length);
    static std::size_t SlotAt(const Space& space, std::uint32_t offset);
    static void Unchain(Space& space, std::uint32_t offset);
    static void Measure(Space& space);
    static void Use(Space& space, std::uint16_t number);
    static void Release(Space& space, std::uint16_t number);

    const std::string& file_;
    std::vector<Space> spaces_;
};

} // namespace hive9x
} // namespace win95
