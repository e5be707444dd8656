// Writing the file back: the run's changes are laid into the file as read
// through the allocator, so that every block, entry and record that the
// run did not touch stays byte for byte as it was, and Windows finds its
// free lists and counters exact.
#include "platform/posix/storage/win9x/alloc.h"

#include <algorithm>

namespace win95
{

using namespace hive9x;

// The keys written: those not deleted, not left out and not under one left
// out (a key stands after its parent in `nodes`).
std::vector<bool> Hive9x::Data::Written(const std::vector<Key>& leftOut) const
{
    std::vector<bool> written(nodes.size());
    for (Key key = 0; key < nodes.size(); ++key)
        written[key] = !nodes[key].deleted &&
                       std::find(leftOut.begin(), leftOut.end(), key) == leftOut.end() &&
                       (nodes[key].parent == NoKey || written[nodes[key].parent]);
    return written;
}

// The key's id (block << 16 | number) for each key written: the records of
// the others are freed first, so that the keys made or grown in this run
// can reuse their room; a changed record stays where it is when it still
// fits, and moves otherwise.
std::vector<std::uint32_t> Hive9x::Data::PlaceRecords(RecordSpace& records,
                                                      const std::vector<bool>& written) const
{
    std::vector<std::uint32_t> ids(nodes.size(), none);
    auto blockOf = [](const Node& node) { return static_cast<std::size_t>(node.id >> 16); };
    auto offsetIn = [this, &blockOf](const Node& node)
    { return static_cast<std::uint32_t>(node.record - blocks[blockOf(node)].offset); };
    auto put = [&](Key key, const Place& place)
    {
        ids[key] = static_cast<std::uint32_t>(place.block << 16 | place.number);
        records.Bytes(place.block)
            .replace(place.offset, place.length, BuildRecord(key, ids[key], place.length));
    };
    for (Key key = 0; key < nodes.size(); ++key)
        if (nodes[key].record != none && !written[key])
            records.Free(blockOf(nodes[key]), offsetIn(nodes[key]));
    std::vector<Key> moving;
    for (Key key = 0; key < nodes.size(); ++key)
    {
        const Node& node = nodes[key];
        if (node.record == none || !written[key])
            continue;
        ids[key] = node.id;
        if (!node.dirty)
            continue;
        const auto need = static_cast<std::uint32_t>(RecordBytes(node));
        if (need > Get32(bytes, node.record))
        {
            moving.push_back(key);
            continue;
        }
        const std::uint32_t kept = records.Shrink(blockOf(node), offsetIn(node), need);
        put(key, Place{blockOf(node), offsetIn(node), kept, static_cast<std::uint16_t>(node.id)});
    }
    for (Key key : moving)
    {
        const Node& node = nodes[key];
        records.Free(blockOf(node), offsetIn(node), true);
        put(key, records.Take(static_cast<std::uint32_t>(RecordBytes(node)), blockOf(node),
                              static_cast<std::uint16_t>(node.id)));
    }
    for (Key key : created)
        if (written[key])
            put(key, records.Take(static_cast<std::uint32_t>(RecordBytes(nodes[key]))));
    return ids;
}

// The offset of each written key's entry in the tree: the entries of the
// others freed, the lowest taken again first.
std::vector<std::uint32_t> Hive9x::Data::PlaceEntries(TreeSpace& tree,
                                                      const std::vector<bool>& written) const
{
    std::vector<std::uint32_t> gone;
    for (Key key = 0; key < nodes.size(); ++key)
        if (nodes[key].entry != none && !written[key])
            gone.push_back(nodes[key].entry);
    std::sort(gone.begin(), gone.end(), std::greater<>());
    for (std::uint32_t entry : gone)
        tree.Give(entry);
    std::vector<std::uint32_t> entryOf(nodes.size(), none);
    for (Key key = 0; key < nodes.size(); ++key)
        if (nodes[key].entry != none)
            entryOf[key] = nodes[key].entry;
    for (Key key : created)
        if (written[key])
            entryOf[key] = tree.Take();
    return entryOf;
}

// Fills each written key's entry: a new one whole, one as read with its
// links and record id.
void Hive9x::Data::LinkEntries(std::string& entries, const std::vector<std::uint32_t>& entryOf,
                               const std::vector<std::uint32_t>& ids,
                               const std::vector<bool>& written) const
{
    auto firstWritten = [&](Key key)
    {
        while (key != NoKey && !written[key])
            key = nodes[key].nextSibling;
        return key;
    };
    auto link = [&](Key key) { return key == NoKey ? none : entryOf[key]; };
    for (Key key = 0; key < nodes.size(); ++key)
    {
        if (!written[key])
            continue;
        const Node& node = nodes[key];
        const std::uint32_t at = entryOf[key];
        if (node.entry == none)
        {
            Put32(entries, at, 0);
            Put32(entries, at + 4, NameHash(node.name));
            Put32(entries, at + 8, none);
        }
        Put32(entries, at + 0x0C, link(node.parent));
        Put32(entries, at + 0x10, link(firstWritten(node.firstChild)));
        Put32(entries, at + 0x14, link(firstWritten(node.nextSibling)));
        if (!node.recordless)
        {
            Put16(entries, at + 0x18, static_cast<std::uint16_t>(ids[key]));
            Put16(entries, at + 0x1A, static_cast<std::uint16_t>(ids[key] >> 16));
        }
    }
}

bool Hive9x::Data::Emit(const std::function<bool(const char*, std::size_t)>& write,
                        const std::vector<Key>& leftOut) const
{
    const std::vector<bool> written = Written(leftOut);
    RecordSpace records(bytes, blocks);
    const std::vector<std::uint32_t> ids = PlaceRecords(records, written);
    TreeSpace tree(bytes.substr(treeAt, treeSize), treeFree);
    const std::vector<std::uint32_t> entryOf = PlaceEntries(tree, written);
    LinkEntries(tree.Bytes(), entryOf, ids, written);
    const std::string& sealedTree = tree.Seal();

    std::string head = bytes.substr(0, fileHeaderSize);
    Put32(head, 8, static_cast<std::uint32_t>(treeAt + sealedTree.size()));
    Put16(head, 0x10, static_cast<std::uint16_t>(records.Count()));
    if (!write(head.data(), head.size()) || !write(sealedTree.data(), sealedTree.size()))
        return false;
    for (std::size_t b = 0; b < records.Count(); ++b)
    {
        const std::string_view block = records.Sealed(b);
        if (!write(block.data(), block.size()))
            return false;
    }
    return true;
}

} // namespace win95
