// Values and the records that hold them: parsed when a key's values are
// first used, changed in memory, and laid out again as a record only for
// a key whose values changed.
//
// A REG_SZ is stored as Windows 9x stores it, without its terminating
// zero, and reads back with one, both before and after the file is
// written.
#include "platform/posix/storage/win9x/format.h"

#include <algorithm>

namespace win95
{

using namespace hive9x;

namespace
{

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

} // namespace

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

// The record's word at 0x10, which no description gives a meaning, is kept.
std::string Hive9x::Data::BuildRecord(Key key, std::uint32_t id, std::uint32_t length) const
{
    const Node& node = nodes[key];
    std::string record;
    record.reserve(length);
    Append32(record, length);
    Append32(record, id);
    Append32(record, static_cast<std::uint32_t>(RecordBytes(node)));
    Append16(record, static_cast<std::uint16_t>(node.name.size()));
    Append16(record, static_cast<std::uint16_t>(node.values.size()));
    Append32(record, node.record == none ? 0 : Get32(bytes, node.record + 0x10));
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
    record.resize(length, '\0');
    return record;
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
    // Held as it will read back from the file.
    std::string held = CallerData(type, StoredData(type, data));
    if (same == node.values.end())
    {
        node.values.push_back(Value{std::string(name), type, std::move(held)});
        node.readAt.push_back(none);
    }
    else
    {
        same->type = type;
        same->data = std::move(held);
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

} // namespace win95
