// The registry image on any text. The input is an image text, then, after
// a zero byte (which no image may hold), a script of changes made as the
// registry calls make them. A text that reads must be written back byte
// for byte; after the changes the written image must read again, give the
// same keys in the same order and the same changed values, and be written
// again in the same bytes.
#include "platform/posix/storage/regedit4/storage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace
{

using win95::Image;
using win95::KeyId;
using win95::NoKey;

// The key above the root keys is the first one an image makes.
constexpr KeyId top = 0;

void Require(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

std::string Written(const Image& image)
{
    std::string text;
    bool written = image.Write(
        [&text](const char* data, std::size_t size)
        {
            text.append(data, size);
            return true;
        });
    Require(written, "writing into memory failed");
    return text;
}

std::vector<KeyId> Subkeys(Image& image, KeyId key)
{
    std::vector<KeyId> keys;
    for (KeyId child;
         (child = image.Subkey(key, static_cast<std::uint32_t>(keys.size()))) != NoKey;)
        keys.push_back(child);
    return keys;
}

std::size_t Depth(const Image& image, KeyId key)
{
    std::size_t depth = 0;
    for (; key != top; key = image.Parent(key))
        ++depth;
    return depth;
}

// HKEY_LOCAL_MACHINE and the keys down to SOFTWARE\Classes, which the
// registry never deletes.
bool IsFixedRoot(const Image& image, KeyId key)
{
    static const char* const path[] = {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Classes"};
    std::size_t depth = Depth(image, key);
    if (depth > 3)
        return false;
    for (std::size_t level = depth; level > 0; --level, key = image.Parent(key))
        if (image.Find(image.Parent(key), path[level - 1]) != key)
            return false;
    return true;
}

// A name as the registry calls take it: no line break, and for a key no
// '\' and not empty.
std::string Name(FuzzedDataProvider& script, bool forKey)
{
    std::string name = script.ConsumeRandomLengthString(24);
    std::string kept;
    for (char c : name)
        if (c != '\r' && c != '\n' && c != '\0' && !(forKey && c == '\\'))
            kept += c;
    return forKey && kept.empty() ? "k" : kept;
}

// A key reached from the top by a few steps down the tree.
KeyId PickKey(Image& image, FuzzedDataProvider& script)
{
    KeyId key = top;
    int steps = script.ConsumeIntegralInRange(1, 6);
    for (int step = 0; step < steps; ++step)
    {
        std::vector<KeyId> below = Subkeys(image, key);
        if (below.empty())
            break;
        key = below[script.ConsumeIntegralInRange<std::size_t>(0, below.size() - 1)];
    }
    return key;
}

// The values set, by key and by name in lower case.
using SetValues = std::map<KeyId, std::set<std::string>>;

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void Change(Image& image, FuzzedDataProvider& script, SetValues& set)
{
    for (int changes = 0; changes < 16 && script.remaining_bytes() > 0; ++changes)
    {
        KeyId key = PickKey(image, script);
        if (key == top)
            continue;
        switch (script.ConsumeIntegralInRange(0, 2))
        {
        case 0:
            image.Create(key, Name(script, true));
            break;
        case 1:
        {
            std::string name = Name(script, false);
            DWORD type = script.ConsumeBool() ? script.ConsumeIntegralInRange<DWORD>(0, 11)
                                              : script.ConsumeIntegral<DWORD>();
            image.SetValue(key, name, type, script.ConsumeRandomLengthString(300));
            set[key].insert(Lower(name));
            break;
        }
        default:
            if (!IsFixedRoot(image, key))
                image.Delete(key);
            break;
        }
    }
}

void CompareTrees(Image& changed, Image& reread, const SetValues& set)
{
    std::vector<std::pair<KeyId, KeyId>> pending{{top, top}};
    while (!pending.empty())
    {
        auto [left, right] = pending.back();
        pending.pop_back();
        Require(changed.Name(left) == reread.Name(right), "a key name differs");
        auto values = set.find(left);
        if (values != set.end())
            for (const std::string& name : values->second)
            {
                const win95::Value* before = changed.FindValue(left, name);
                const win95::Value* after = reread.FindValue(right, name);
                Require(before != nullptr && after != nullptr, "a value set is missing");
                Require(before->type == after->type, "a value's type differs");
                Require(before->data == after->data, "a value's data differs");
            }
        std::vector<KeyId> leftKeys = Subkeys(changed, left);
        std::vector<KeyId> rightKeys = Subkeys(reread, right);
        Require(leftKeys.size() == rightKeys.size(), "a key has other subkeys");
        for (std::size_t i = 0; i < leftKeys.size(); ++i)
            pending.push_back({leftKeys[i], rightKeys[i]});
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t zero = input.find('\0');
    std::string text = input.substr(0, zero);
    FuzzedDataProvider script(data + std::min(zero + 1, size), size - std::min(zero + 1, size));

    Image image;
    win95::Fault error;
    if (!image.Load(text, error))
    {
        Require(std::atoll(error.where.c_str()) >= 1 && !error.what.empty(),
                "a rejection without line or reason");
        return 0;
    }
    Require(image.Parent(top) == NoKey && image.Name(top).empty(), "key 0 is not the top");
    Require(Written(image) == text, "an untouched image is not written back as it was read");

    SetValues set;
    Change(image, script, set);
    std::string changed = Written(image);
    Require(image.Changed() || changed == text, "an unchanged image is written differently");

    Image reread;
    if (!reread.Load(changed, error))
    {
        std::fprintf(stderr, "line %s: %s\n", error.where.c_str(), error.what.c_str());
        Require(false, "the written image does not read");
    }
    CompareTrees(image, reread, set);
    Require(Written(reread) == changed, "the image read again is written differently");
    return 0;
}
