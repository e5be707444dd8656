// The key tree of a Windows 9x registry file: finding, walking, making and
// deleting keys. Changes stay in memory until the file is written.
#include "platform/posix/storage/win9x/format.h"

#include <algorithm>

namespace win95
{

using namespace hive9x;

Hive9x::Hive9x(std::unique_ptr<Data> data) : d_(std::move(data)) {}

Hive9x::~Hive9x() = default;

// A file as Windows would start one: the root entry alone in a key tree of
// two pages, the rest of them one free run, and no data block.
std::unique_ptr<Hive9x> Hive9x::Empty()
{
    std::string bytes(fileHeaderSize + newTreeSize, '\0');
    bytes.replace(0, 4, "CREG");
    Put32(bytes, 4, 0x00010000);
    Put32(bytes, 8, static_cast<std::uint32_t>(treeAt + newTreeSize));
    Put16(bytes, 0x12, 0x20);
    Put16(bytes, 0x16, 1);
    bytes.replace(treeAt, 4, "RGKN");
    Put32(bytes, treeAt + 4, newTreeSize);
    Put32(bytes, treeAt + 8, treeHeaderSize);
    Put32(bytes, treeAt + 0x0C, treeHeaderSize + entrySize);
    Put16(bytes, treeAt + 0x10, headerFlags);
    const std::size_t root = treeAt + treeHeaderSize;
    for (std::size_t field = 8; field < entrySize; field += 4)
        Put32(bytes, root + field, none);
    const std::size_t run = root + entrySize;
    Put32(bytes, run, freeRunMark);
    Put32(bytes, run + 4, newTreeSize - treeHeaderSize - entrySize);
    Put32(bytes, run + 8, none);
    Fault fault;
    return Read(std::move(bytes), fault);
}

Hive9x::Key Hive9x::Root() const
{
    return 0;
}

Hive9x::Key Hive9x::Data::FirstAlive(Key key) const
{
    while (key != NoKey && nodes[key].deleted)
        key = nodes[key].nextSibling;
    return key;
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

Hive9x::Key Hive9x::FirstChild(Key key) const
{
    return d_->FirstAlive(d_->nodes[key].firstChild);
}

Hive9x::Key Hive9x::NextSibling(Key key) const
{
    return d_->FirstAlive(d_->nodes[key].nextSibling);
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
    if (key == NoKey)
        return false;
    for (; key != NoKey; key = d_->nodes[key].parent)
        if (key >= d_->nodes.size() || d_->nodes[key].deleted)
            return false;
    return true;
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

bool Hive9x::Write(const std::function<bool(const char*, std::size_t)>& write,
                   const std::vector<Key>& leftOut) const
{
    return d_->Emit(write, leftOut);
}

} // namespace win95
