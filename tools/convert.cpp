// Both directions of the conversion, over the binary registry's calls.
#include "tools/convert.h"

#include "platform/posix/os/text.h"
#include "platform/posix/storage/regedit4/values.h"
#include "tools/regedit4.h"

#include <unordered_map>

namespace regconv
{
namespace
{

using win95::Hive9x;

// The path below the file's root for a key line's path, or false when the
// key lies under another root.
bool BelowRoot(std::string_view path, const std::string& root, std::string& below)
{
    const std::size_t cut = std::min(path.find('\\'), path.size());
    const std::string_view first = path.substr(0, cut);
    const std::string_view rest = path.substr(std::min(cut + 1, path.size()));
    if (win95::SameName(first, root))
        below = rest;
    else if (win95::SameName(first, "HKEY_CLASSES_ROOT") &&
             win95::SameName(root, "HKEY_LOCAL_MACHINE"))
        below = "SOFTWARE\\Classes\\" + std::string(rest);
    else
        return false;
    return true;
}

} // namespace

std::unique_ptr<Hive9x> HiveFromText(std::string_view text, const std::string& root,
                                     bool dropOversize, std::vector<std::string>& messages)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    std::unordered_map<std::string, Hive9x::Key> made; // upper-cased path to key
    Hive9x::Key key = Hive9x::NoKey;
    std::string path;
    std::size_t otherRoots = 0;
    TextSink sink;
    sink.key = [&](std::string_view line)
    {
        std::string below;
        key = Hive9x::NoKey;
        path = line;
        if (!BelowRoot(line, root, below))
        {
            ++otherRoots;
            return true;
        }
        std::string upper = win95::AsciiUpper(below);
        if (auto found = made.find(upper); found != made.end())
        {
            key = found->second;
            return true;
        }
        // Key lines mostly follow the tree, so the parent is mostly known.
        const std::size_t cut = upper.rfind('\\');
        auto parent = cut == std::string::npos ? made.end() : made.find(upper.substr(0, cut));
        key = parent != made.end() ? hive->Create(parent->second, below.substr(cut + 1))
                                   : hive->Create(hive->Root(), below);
        if (key == Hive9x::NoKey)
        {
            messages.push_back("[" + path + "]: key name too long or keys too deep for Windows 9x");
            return dropOversize;
        }
        made.emplace(std::move(upper), key);
        return true;
    };
    sink.value = [&](std::string_view name, std::uint32_t type, std::string_view data)
    {
        if (key == Hive9x::NoKey || hive->SetValue(key, name, type, data))
            return true;
        const bool fits =
            name.size() <= win95::MaxHive9xName && data.size() <= win95::MaxHive9xData;
        messages.push_back("[" + path + "] \"" + std::string(name) + "\": " +
                           (key == hive->Root() ? "the root key holds no values"
                            : fits              ? "the key's values together are too long"
                                                : "value too long") +
                           " for Windows 9x (" + std::to_string(data.size()) + " bytes)");
        return dropOversize;
    };
    win95::Fault error;
    if (!ReadText(text, sink, error))
    {
        if (!error.what.empty())
            messages.push_back(error.where + ": " + error.what);
        return nullptr;
    }
    if (otherRoots > 0)
        messages.push_back("left out " + std::to_string(otherRoots) + " key lines not under " +
                           root);
    return hive;
}

bool TextFromHive(Hive9x& hive, const std::string& root,
                  const std::function<bool(const char*, std::size_t)>& write)
{
    std::string text = "REGEDIT4\r\n";
    struct Visit
    {
        Hive9x::Key key;
        std::string path;
    };
    std::vector<Visit> stack{{hive.Root(), root}};
    while (!stack.empty())
    {
        Visit here = std::move(stack.back());
        stack.pop_back();
        const auto& values = hive.Values(here.key);
        if (here.key != hive.Root() || !values.empty())
        {
            text += "\r\n[" + here.path + "]\r\n";
            for (const Hive9x::Value& value : values)
                text += win95::CanonicalLine(value) + "\r\n";
        }
        std::vector<Visit> children;
        for (Hive9x::Key child = hive.FirstChild(here.key); child != Hive9x::NoKey;
             child = hive.NextSibling(child))
            children.push_back({child, here.path + "\\" + std::string(hive.Name(child))});
        stack.insert(stack.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
        if (text.size() >= (1 << 20))
        {
            if (!write(text.data(), text.size()))
                return false;
            text.clear();
        }
    }
    text += "\r\n";
    return write(text.data(), text.size());
}

} // namespace regconv
