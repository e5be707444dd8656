// The Windows 9x registry file reader on any bytes. A file that is refused
// is refused with one line; a file that reads is written out, and what is
// written reads again with the same keys and values. Then changes, drawn
// from the same bytes, are made as the registry calls make them, and the
// changed file must again read back as the changed tree.
#include "platform/posix/storage/win9x/hive.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

using win95::Hive9x;
using Key = Hive9x::Key;

void Require(bool holds, const char* what)
{
    if (!holds)
    {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

std::string Written(const Hive9x& hive)
{
    std::string bytes;
    Require(hive.Write(
                [&bytes](const char* data, std::size_t size)
                {
                    bytes.append(data, size);
                    return true;
                }),
            "writing into memory failed");
    return bytes;
}

std::unique_ptr<Hive9x> ReadBack(const std::string& bytes)
{
    win95::Fault error;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(bytes, error);
    if (hive == nullptr)
        std::fprintf(stderr, "%s: %s\n", error.where.c_str(), error.what.c_str());
    Require(hive != nullptr, "a written file does not read");
    return hive;
}

// Every key and value in file order; a REG_SZ as it reads back.
std::string Dump(Hive9x& hive)
{
    std::string dump;
    std::vector<std::pair<Key, std::size_t>> pending{{hive.Root(), 0}};
    while (!pending.empty())
    {
        auto [key, depth] = pending.back();
        pending.pop_back();
        dump += std::string(depth, ' ') + std::string(hive.Name(key)) + "\n";
        for (const Hive9x::Value& value : hive.Values(key))
        {
            std::string data = value.data;
            if (value.type == 1 && (data.empty() || data.back() != '\0'))
                data.push_back('\0');
            dump += value.name + "=" + std::to_string(value.type) + ":" + data + "\n";
        }
        std::vector<Key> children;
        for (Key child = hive.FirstChild(key); child != Hive9x::NoKey;
             child = hive.NextSibling(child))
            children.push_back(child);
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.push_back({*child, depth + 1});
    }
    return dump;
}

Key PickKey(Hive9x& hive, FuzzedDataProvider& script)
{
    Key key = hive.Root();
    for (int steps = script.ConsumeIntegralInRange(0, 4); steps > 0; --steps)
    {
        std::vector<Key> below;
        for (Key child = hive.FirstChild(key); child != Hive9x::NoKey;
             child = hive.NextSibling(child))
            below.push_back(child);
        if (below.empty())
            break;
        key = below[script.ConsumeIntegralInRange<std::size_t>(0, below.size() - 1)];
    }
    return key;
}

void Change(Hive9x& hive, FuzzedDataProvider& script)
{
    for (int changes = 0; changes < 16 && script.remaining_bytes() > 0; ++changes)
    {
        const Key key = PickKey(hive, script);
        switch (script.ConsumeIntegralInRange(0, 3))
        {
        case 0:
            hive.Create(key, script.ConsumeRandomLengthString(40));
            break;
        case 1:
            hive.SetValue(key, script.ConsumeRandomLengthString(20),
                          script.ConsumeIntegralInRange<std::uint32_t>(0, 8),
                          script.ConsumeRandomLengthString(3000));
            break;
        case 2:
            if (!hive.Values(key).empty())
                hive.DeleteValue(key, hive.Values(key).front().name);
            break;
        default:
            hive.Delete(key);
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    win95::Fault error;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(input, error);
    if (hive == nullptr)
    {
        Require(!error.what.empty() && error.what.find('\n') == std::string::npos,
                "a refusal without one reason");
        Require(error.where.rfind("offset 0x", 0) == 0 &&
                    std::strtoull(error.where.c_str() + 9, nullptr, 16) <= size,
                "a refusal at an offset outside the file");
        return 0;
    }
    const std::string dump = Dump(*hive);
    const std::string written = Written(*hive);
    std::unique_ptr<Hive9x> again = ReadBack(written);
    Require(Dump(*again) == dump, "the file written out reads as another tree");
    Require(Written(*again) == written,
            "a file written by the writer is not written back as it was");

    FuzzedDataProvider script(data, size);
    Change(*hive, script);
    const std::string changed = Written(*hive);
    Require(Dump(*ReadBack(changed)) == Dump(*hive), "the changed file reads as another tree");
    return 0;
}
