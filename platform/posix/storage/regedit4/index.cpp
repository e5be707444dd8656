// The index of the keys that have nodes, by parent and name: open
// addressing, kept at most half full so that a look-up probes about two
// slots. Deleted keys stay in it, so that a key the run deleted is not
// found again in the text.
#include "platform/posix/storage/regedit4/tree.h"
#include "platform/posix/storage/regedit4/values.h"

#include <algorithm>

namespace win95
{
namespace
{

std::size_t SlotOf(KeyId parent, std::uint32_t hash, std::size_t mask)
{
    std::uint32_t mixed = hash ^ (parent * 0x9E3779B1u);
    mixed ^= mixed >> 16;
    mixed *= 0x85EBCA6Bu;
    mixed ^= mixed >> 13;
    return mixed & mask;
}

} // namespace

KeyId Image::Lookup(KeyId parent, std::string_view name, std::uint32_t hash, unsigned skip) const
{
    if (slots_.empty())
        return NoKey;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = SlotOf(parent, hash, mask);; at = (at + 1) & mask)
    {
        KeyId key = slots_[at].key;
        if (key == NoKey)
            return NoKey;
        if (slots_[at].hash != hash)
            continue;
        const Key& own = keys_[key];
        if (own.parent == parent && !(own.flags & skip) && SameName(Name(key), name))
            return key;
    }
}

void Image::Index(KeyId key) const
{
    if ((indexed_ + 1) * 2 > slots_.size())
    {
        Reindex(std::max<std::size_t>(64, slots_.size() * 2));
        return;
    }
    std::size_t mask = slots_.size() - 1;
    std::size_t at = SlotOf(keys_[key].parent, keys_[key].hash, mask);
    while (slots_[at].key != NoKey)
        at = (at + 1) & mask;
    slots_[at] = {key, keys_[key].hash};
    ++indexed_;
}

// Every key but the top, which has no parent, in the given number of slots.
void Image::Reindex(std::size_t slots) const
{
    slots_.assign(slots, Slot{NoKey, 0});
    indexed_ = 0;
    for (KeyId key = 1; key < keys_.size(); ++key)
        Index(key);
}

} // namespace win95
