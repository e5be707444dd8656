// The key tree over the recorded key lines: nodes made for the keys a run
// reaches, found in their parent's runs; values parsed from a key's own
// sections when first used; the changes a run makes.
#include "platform/posix/storage/regedit4/tree.h"
#include "platform/posix/storage/regedit4/values.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace win95
{
namespace
{

// Look-ups that may search a key's runs before all of its subkeys get
// nodes: a few keys are looked up under a key with very many subkeys, but
// many under one, such as the printers, are looked up one by one.
constexpr std::uint32_t scansBeforeListing = 8;

} // namespace

Image::Image() : names_(fixedNames)
{
    Key root{};
    root.parent = NoKey;
    root.firstChild = root.lastChild = root.previous = root.next = NoKey;
    root.moreRuns = root.values = NoSection;
    keys_.push_back(root);
}

std::uint32_t Image::Depth(std::uint32_t section) const
{
    return sections_[section].depth & ~ClassesLine;
}

// Where the key line's path ends: at the last ']' of the line.
std::size_t Image::PathEnd(std::uint32_t section) const
{
    std::size_t end = LineAt(text_, sections_[section].begin).contentEnd;
    while (text_[end - 1] != ']')
        --end;
    return end - 1;
}

// The fixed name as it stands at the start of names_.
std::string_view Image::Pool(std::string_view fixed) const
{
    return std::string_view(names_).substr(
        static_cast<std::size_t>(fixed.data() - fixedNames.data()), fixed.size());
}

// The name, in that section's key line, of the subkey of `parent` it
// names: every line in a key's runs spells the names above the key with
// the same lengths, so the name stands at the same place in each.
Image::NameAt Image::ChildName(std::uint32_t section, KeyId parent) const
{
    const Key& up = keys_[parent];
    bool classes = sections_[section].depth & ClassesLine;
    if (classes && up.depth < 3)
    {
        const std::string_view fixed[] = {localMachineName, softwareName, classesName};
        return {Pool(fixed[up.depth]), true};
    }
    std::size_t from = sections_[section].begin + 1 + (up.depth == 0 ? 0 : up.pathLength + 1);
    if (classes)
        from -= classesPathLength - classesRootName.size();
    std::size_t end;
    if (Depth(section) > up.depth + 1)
        end = static_cast<std::size_t>(
            static_cast<const char*>(std::memchr(text_.data() + from, '\\', text_.size() - from)) -
            text_.data());
    else
        end = PathEnd(section);
    return {text_.substr(from, end - from), false};
}

void Image::AddRun(KeyId key, Run run) const
{
    Key& own = keys_[key];
    if (own.run.begin == own.run.end)
    {
        own.run = run;
        return;
    }
    if (own.moreRuns == NoSection)
    {
        own.moreRuns = static_cast<std::uint32_t>(moreRuns_.size());
        moreRuns_.emplace_back();
    }
    std::vector<Run>& more = moreRuns_[own.moreRuns];
    Run& last = more.empty() ? own.run : more.back();
    if (last.end == run.begin)
        last.end = run.end;
    else
        more.push_back(run);
}

KeyId Image::NewKey(KeyId parent, std::string_view name, bool pooled, unsigned flags) const
{
    Key key{};
    const Key& up = keys_[parent];
    std::string_view from = pooled ? std::string_view(names_) : text_;
    key.name = static_cast<std::uint32_t>(name.data() - from.data());
    key.nameLength = static_cast<std::uint32_t>(name.size());
    key.flags = (pooled ? Pooled : 0u) | flags | (up.flags & Deleted);
    key.parent = parent;
    key.depth = up.depth + 1;
    key.pathLength =
        static_cast<std::uint32_t>((up.depth == 0 ? 0 : up.pathLength + 1) + name.size());
    key.hash = NameHash(name);
    key.firstChild = key.lastChild = key.previous = key.next = NoKey;
    key.moreRuns = key.values = NoSection;
    KeyId id = static_cast<KeyId>(keys_.size());
    keys_.push_back(key);
    Index(id);
    return id;
}

void Image::Append(KeyId parent, KeyId key) const
{
    Key& up = keys_[parent];
    keys_[key].previous = up.lastChild;
    keys_[key].next = NoKey;
    if (up.lastChild == NoKey)
        up.firstChild = key;
    else
        keys_[up.lastChild].next = key;
    up.lastChild = key;
}

void Image::Unlink(KeyId key) const
{
    Key& own = keys_[key];
    for (KeyId& last : found_)
        if (last == key)
            last = own.previous;
    Key& up = keys_[own.parent];
    (own.previous == NoKey ? up.firstChild : keys_[own.previous].next) = own.next;
    (own.next == NoKey ? up.lastChild : keys_[own.next].previous) = own.previous;
    own.previous = own.next = NoKey;
}

// Searches the parent's runs for the subkey, comparing hashes first; the
// node made for it gets all of its runs.
KeyId Image::ScanForChild(KeyId parent, std::string_view name, std::uint32_t hash) const
{
    std::uint32_t depth = keys_[parent].depth;
    KeyId found = NoKey;
    ForEachChildRun(parent,
                    [&](Run run)
                    {
                        if (shared_[run.begin] == depth && sections_[run.begin].hash != hash)
                            return;
                        NameAt seen = ChildName(run.begin, parent);
                        if (!SameName(seen.name, name))
                            return;
                        if (found == NoKey)
                        {
                            found = NewKey(parent, seen.name, seen.pooled, 0);
                            Append(parent, found);
                        }
                        AddRun(found, run);
                    });
    return found;
}

// Gives every subkey in the key's runs a node, and puts the subkeys in
// image order, those made by this run after them.
void Image::List(KeyId key) const
{
    std::vector<KeyId> made;
    std::unordered_set<KeyId> known;
    for (KeyId child = keys_[key].firstChild; child != NoKey;)
    {
        KeyId next = keys_[child].next;
        if (keys_[child].flags & Created)
            made.push_back(child);
        else
            known.insert(child);
        Unlink(child);
        child = next;
    }
    KeyId firstNew = static_cast<KeyId>(keys_.size());
    std::uint32_t depth = keys_[key].depth;
    ForEachChildRun(key,
                    [&](Run run)
                    {
                        NameAt name = ChildName(run.begin, key);
                        std::uint32_t hash = shared_[run.begin] == depth ? sections_[run.begin].hash
                                                                         : NameHash(name.name);
                        KeyId child = Lookup(key, name.name, hash, Created);
                        if (child == NoKey)
                        {
                            child = NewKey(key, name.name, name.pooled, 0);
                            Append(key, child);
                            AddRun(child, run);
                        }
                        else if (child >= firstNew)
                            AddRun(child, run);
                        else if (known.erase(child) == 1 && !(keys_[child].flags & Deleted))
                            Append(key, child);
                    });
    for (KeyId child : made)
        Append(key, child);
    keys_[key].flags = keys_[key].flags | Listed;
}

// Keys are mostly looked up in the order they are enumerated, and a
// program may go back and forth between two parents (the spooler between
// the printers and the drivers), so the key found last under each of the
// last two parents and the sibling after it are tried first.
KeyId Image::Find(KeyId parent, std::string_view name) const
{
    if (keys_[parent].flags & Deleted)
        return NoKey;
    std::size_t slot = found_[0] != NoKey && keys_[found_[0]].parent == parent ? 0 : 1;
    KeyId last = found_[slot];
    KeyId key = NoKey;
    if (last != NoKey && keys_[last].parent == parent)
    {
        KeyId next = keys_[last].next;
        if (Named(last, name))
            key = last;
        else if (next != NoKey && Named(next, name))
            key = next;
    }
    if (key == NoKey)
        key = Search(parent, name);
    if (key != NoKey)
    {
        if (slot == 1)
            found_[1] = found_[0];
        found_[0] = key;
    }
    return key;
}

bool Image::Named(KeyId key, std::string_view name) const
{
    return !(keys_[key].flags & Deleted) && SameName(Name(key), name);
}

// A name already known under the parent needs no search of its runs: a
// search made the node, or found that the image has no such subkey before
// the run made one.
KeyId Image::Search(KeyId parent, std::string_view name) const
{
    std::uint32_t hash = NameHash(name);
    KeyId key = Lookup(parent, name, hash, Deleted);
    if (key != NoKey || (keys_[parent].flags & Listed) || Lookup(parent, name, hash, 0) != NoKey)
        return key;
    if (parent == missParent_ && SameName(name, missName_))
        return NoKey;
    if (++keys_[parent].scans <= scansBeforeListing)
    {
        key = ScanForChild(parent, name, hash);
        if (key == NoKey)
        {
            missParent_ = parent;
            missName_.assign(name);
        }
        return key;
    }
    List(parent);
    return Lookup(parent, name, hash, Deleted);
}

KeyId Image::OnDemand(KeyId parent, std::string_view name)
{
    KeyId key = NewKey(parent, name, true, Created | Quiet);
    Append(parent, key);
    created_.push_back(key);
    return key;
}

// Every registry call on a root key asks for it, so the key found is kept
// for as long as it stands.
KeyId Image::LocalMachine()
{
    if (localMachine_ != NoKey && Exists(localMachine_))
        return localMachine_;
    KeyId key = Find(top, localMachineName);
    localMachine_ = key != NoKey ? key : OnDemand(top, Pool(localMachineName));
    return localMachine_;
}

KeyId Image::ClassesRoot()
{
    if (classesRoot_ != NoKey && Exists(classesRoot_))
        return classesRoot_;
    KeyId key = LocalMachine();
    for (std::string_view name : {softwareName, classesName})
    {
        KeyId below = Find(key, name);
        key = below != NoKey ? below : OnDemand(key, Pool(name));
    }
    classesRoot_ = key;
    return key;
}

KeyId Image::Create(KeyId parent, std::string_view name)
{
    KeyId key = Find(parent, name);
    if (key != NoKey)
    {
        if (keys_[key].flags & Quiet)
        {
            keys_[key].flags = keys_[key].flags & ~Quiet;
            changed_ = true;
        }
        return key;
    }
    std::size_t offset = names_.size();
    names_.append(name);
    key = NewKey(parent, std::string_view(names_).substr(offset), true, Created);
    Append(parent, key);
    created_.push_back(key);
    changed_ = true;
    return key;
}

KeyId Image::Subkey(KeyId key, std::uint32_t index)
{
    if (!(keys_[key].flags & Listed))
        List(key);
    KeyId child = keys_[key].firstChild;
    std::uint32_t at = 0;
    if (cursorKey_ == key && index >= cursorIndex_)
    {
        child = cursorChild_;
        at = cursorIndex_;
    }
    for (; child != NoKey && at < index; ++at)
        child = keys_[child].next;
    if (child != NoKey)
    {
        cursorKey_ = key;
        cursorIndex_ = at;
        cursorChild_ = child;
    }
    return child;
}

KeyId Image::Parent(KeyId key) const
{
    return keys_[key].parent;
}

std::string_view Image::Name(KeyId key) const
{
    const Key& own = keys_[key];
    std::string_view from = own.flags & Pooled ? std::string_view(names_) : text_;
    return from.substr(own.name, own.nameLength);
}

bool Image::Exists(KeyId key) const
{
    return !(keys_[key].flags & Deleted);
}

// The nodes below a deleted key are marked too; keys below it that have
// no node yet can no longer be reached.
void Image::Delete(KeyId key)
{
    Unlink(key);
    std::vector<KeyId> pending{key};
    while (!pending.empty())
    {
        KeyId at = pending.back();
        pending.pop_back();
        keys_[at].flags = keys_[at].flags | Deleted;
        for (KeyId child = keys_[at].firstChild; child != NoKey; child = keys_[child].next)
            pending.push_back(child);
    }
    deleted_.push_back(key);
    cursorKey_ = NoKey;
    changed_ = true;
}

Image::KeyValues& Image::Values(KeyId key)
{
    if (keys_[key].values != NoSection)
        return values_[keys_[key].values];
    keys_[key].values = static_cast<std::uint32_t>(values_.size());
    KeyValues& values = values_.emplace_back();
    std::uint32_t depth = keys_[key].depth;
    ForEachRun(key,
               [&](Run run)
               {
                   for (std::uint32_t section = run.begin; section < run.end; ++section)
                       if (Depth(section) == depth)
                       {
                           values.sections.push_back(section);
                           ReadSection(section, values.values);
                       }
               });
    return values;
}

void Image::ReadSection(std::uint32_t section, std::vector<ValueLine>& values) const
{
    std::string_view t = text_;
    std::size_t end = SectionEnd(section);
    for (std::size_t at = BodyBegin(section); at < end;)
    {
        LineSpan span = LineAt(t, at);
        std::size_t next = span.next;
        std::size_t first = SkipBlanks(t, at, span.contentEnd);
        if (first < span.contentEnd && t[first] != ';')
        {
            ValueReader reader(t, at, span, 0);
            ValueLine value;
            if (reader.Read(&value))
            {
                value.section = section;
                value.rawBegin = static_cast<std::uint32_t>(at);
                value.rawEnd = static_cast<std::uint32_t>(reader.Next());
                values.push_back(std::move(value));
            }
            next = reader.Next();
        }
        at = next;
    }
}

const Image::KeyValues* Image::ParsedValues(KeyId key) const
{
    return keys_[key].values != NoSection ? &values_[keys_[key].values] : nullptr;
}

// A printer's record alone asks for fifteen values, most of them missing:
// the lengths are compared before the names.
const Value* Image::FindValue(KeyId key, std::string_view name)
{
    std::uint32_t parsed = keys_[key].values;
    std::vector<ValueLine>& values = (parsed != NoSection ? values_[parsed] : Values(key)).values;
    for (auto value = values.rbegin(); value != values.rend(); ++value)
        if (value->name.size() == name.size() && SameName(value->name, name))
            return &*value;
    return nullptr;
}

// A value named again by a later line is the later one, as FindValue answers.
void Image::ForEachValue(KeyId key, const std::function<void(const Value&)>& visit)
{
    const std::vector<ValueLine>& values = Values(key).values;
    for (auto value = values.begin(); value != values.end(); ++value)
        if (std::none_of(value + 1, values.end(),
                         [&](const ValueLine& later) { return SameName(later.name, value->name); }))
            visit(*value);
}

void Image::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data)
{
    std::vector<ValueLine>& values = Values(key).values;
    auto found =
        std::find_if(values.rbegin(), values.rend(),
                     [name](const ValueLine& value) { return SameName(value.name, name); });
    if (found != values.rend())
    {
        if (found->type == type && found->data == data)
            return;
        found->type = type;
        found->data.assign(data);
        found->changed = true;
    }
    else
    {
        ValueLine added;
        added.name.assign(name);
        added.type = type;
        added.data.assign(data);
        values.push_back(std::move(added));
    }
    if (!(keys_[key].flags & Dirty))
    {
        keys_[key].flags = keys_[key].flags | Dirty;
        dirty_.push_back(key);
    }
    changed_ = true;
}

bool Image::Changed() const
{
    return changed_;
}

std::size_t Image::SectionEnd(std::uint32_t section) const
{
    return section + 1 < sections_.size() ? sections_[section + 1].begin : text_.size();
}

std::size_t Image::BodyBegin(std::uint32_t section) const
{
    return LineAt(text_, sections_[section].begin).next;
}

// The last section of the key or of a key below it; NoSection if none.
std::uint32_t Image::LastSubtreeSection(KeyId key) const
{
    std::uint32_t last = NoSection;
    ForEachRun(key, [&last](Run run) { last = run.end - 1; });
    return last;
}

std::string Image::Path(KeyId key) const
{
    std::vector<std::string_view> names;
    for (; key != top; key = keys_[key].parent)
        names.push_back(Name(key));
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
    {
        if (!path.empty())
            path += '\\';
        path += *name;
    }
    return path;
}

} // namespace win95
