#include "platform/posix/storage/recorder.h"

#include "platform/posix/os/text.h"
#include "platform/posix/storage/regedit4/values.h"

#include <algorithm>

namespace win95
{
namespace
{

constexpr char machineRoot[] = "HKEY_LOCAL_MACHINE";

bool SameValue(const Value& a, const Value& b)
{
    return SameName(a.name, b.name) && a.type == b.type && a.data == b.data;
}

// The lines of `values` that `others` does not hold as they are, each
// line of a value that spans several marked.
void Lines(std::string& out, char mark, const std::vector<Value>& values,
           const std::vector<Value>& others)
{
    for (const Value& value : values)
    {
        if (std::any_of(others.begin(), others.end(),
                        [&](const Value& other) { return SameValue(value, other); }))
            continue;
        out += mark;
        for (char c : CanonicalLine(value))
            if (c == '\n')
                out += std::string("\n") + mark;
            else if (c != '\r')
                out += c;
        out += '\n';
    }
}

} // namespace

ChangeRecorder::ChangeRecorder(std::unique_ptr<Storage> inner) : inner_(std::move(inner)) {}

// Only keys under HKEY_LOCAL_MACHINE change: HKEY_CLASSES_ROOT is its
// SOFTWARE\Classes.
std::string ChangeRecorder::PathOf(KeyId key)
{
    const KeyId machine = inner_->LocalMachine();
    std::vector<std::string_view> names;
    for (KeyId up = key; up != NoKey && up != machine; up = inner_->Parent(up))
        names.push_back(inner_->Name(up));
    std::string path = machineRoot;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        path += "\\" + std::string(*name);
    return path;
}

std::vector<Value> ChangeRecorder::ValuesOf(KeyId key)
{
    std::vector<Value> values;
    inner_->ForEachValue(key, [&values](const Value& value) { values.push_back(value); });
    return values;
}

void ChangeRecorder::RememberPath(const std::string& path, bool existed)
{
    known_.emplace(AsciiUpper(path), before_.size());
    before_.push_back(Before{path, existed, {}});
}

void ChangeRecorder::Remember(KeyId key, bool existed)
{
    const std::string path = PathOf(key);
    if (known_.count(AsciiUpper(path)) != 0)
        return;
    RememberPath(path, existed);
    if (existed)
        before_.back().values = ValuesOf(key);
}

KeyId ChangeRecorder::Lookup(const std::string& path)
{
    KeyId key = inner_->LocalMachine();
    for (std::size_t at = sizeof machineRoot; key != NoKey && at <= path.size();)
    {
        const std::size_t end = std::min(path.find('\\', at), path.size());
        key = inner_->Find(key, std::string_view(path).substr(at, end - at));
        at = end + 1;
    }
    return key;
}

std::string ChangeRecorder::Report()
{
    std::string out;
    for (const Before& before : before_)
    {
        const KeyId key = Lookup(before.path);
        const bool exists = key != NoKey && inner_->Exists(key);
        const std::vector<Value> now = exists ? ValuesOf(key) : std::vector<Value>{};
        if (!before.existed && !exists)
            continue;
        std::string lines;
        Lines(lines, '-', before.values, now);
        Lines(lines, '+', now, before.values);
        if (before.existed && exists && lines.empty())
            continue;
        const char mark = !before.existed ? '+' : !exists ? '-' : ' ';
        out += "\n" + std::string(1, mark) + "[" + before.path + "]\n" + lines;
    }
    return out.empty() ? out : "--- registry before the run\n+++ registry after the run\n" + out;
}

KeyId ChangeRecorder::LocalMachine()
{
    return inner_->LocalMachine();
}

KeyId ChangeRecorder::ClassesRoot()
{
    return inner_->ClassesRoot();
}

KeyId ChangeRecorder::Find(KeyId parent, std::string_view name) const
{
    return inner_->Find(parent, name);
}

KeyId ChangeRecorder::Create(KeyId parent, std::string_view name)
{
    const bool existed = inner_->Find(parent, name) != NoKey;
    const KeyId key = inner_->Create(parent, name);
    if (!existed && key != NoKey)
        Remember(key, false);
    return key;
}

KeyId ChangeRecorder::Subkey(KeyId key, std::uint32_t index)
{
    return inner_->Subkey(key, index);
}

KeyId ChangeRecorder::Parent(KeyId key) const
{
    return inner_->Parent(key);
}

std::string_view ChangeRecorder::Name(KeyId key) const
{
    return inner_->Name(key);
}

bool ChangeRecorder::Exists(KeyId key) const
{
    return inner_->Exists(key);
}

// The key and everything under it, in the order a listing gives them.
void ChangeRecorder::Delete(KeyId key)
{
    std::vector<KeyId> pending{key};
    while (!pending.empty())
    {
        const KeyId here = pending.back();
        pending.pop_back();
        Remember(here, true);
        std::vector<KeyId> children;
        for (std::uint32_t index = 0;; ++index)
        {
            const KeyId child = inner_->Subkey(here, index);
            if (child == NoKey)
                break;
            children.push_back(child);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    inner_->Delete(key);
}

LONG ChangeRecorder::KeyRefusal(KeyId key, std::string_view name) const
{
    return inner_->KeyRefusal(key, name);
}

LONG ChangeRecorder::ValueRefusal(KeyId key, std::string_view name, DWORD type,
                                  std::string_view data)
{
    return inner_->ValueRefusal(key, name, type, data);
}

const Value* ChangeRecorder::FindValue(KeyId key, std::string_view name)
{
    return inner_->FindValue(key, name);
}

void ChangeRecorder::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data)
{
    Remember(key, true);
    inner_->SetValue(key, name, type, data);
}

void ChangeRecorder::ForEachValue(KeyId key, const std::function<void(const Value&)>& visit)
{
    inner_->ForEachValue(key, visit);
}

bool ChangeRecorder::Changed() const
{
    return inner_->Changed();
}

bool ChangeRecorder::Write(const WriteSink& write) const
{
    return inner_->Write(write);
}

} // namespace win95
