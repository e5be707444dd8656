// regconv: converts a Windows 9x binary registry file (SYSTEM.DAT,
// USER.DAT) to REGEDIT4 text, and REGEDIT4 text to a binary registry file.
// The direction follows from the input's first bytes.
#include "platform/posix/hive9x.h"
#include "tools/regedit4.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

namespace
{

using win95::Hive9x;

const char usage[] =
    "usage: regconv [--root KEY] [--drop-oversize] INPUT OUTPUT\n"
    "  INPUT is a Windows 9x registry file (CREG) or REGEDIT4 text;\n"
    "  OUTPUT is written in the other form.\n"
    "  --root KEY        the key the binary file holds (default HKEY_LOCAL_MACHINE;\n"
    "                    HKEY_USERS for USER.DAT)\n"
    "  --drop-oversize   leave out, naming each, values and keys longer than\n"
    "                    Windows 9x allows, instead of stopping\n";

struct Options
{
    std::string root = "HKEY_LOCAL_MACHINE";
    bool dropOversize = false;
    const char* input = nullptr;
    const char* output = nullptr;
};

bool ReadFile(const char* path, std::string& bytes)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    const bool good = std::ferror(file) == 0;
    std::fclose(file);
    return good;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperText(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        c = Upper(c);
    return upper;
}

// The path below the file's root for a key line's path, or false when the
// key lies under another root.
bool BelowRoot(std::string_view path, const std::string& root, std::string& below)
{
    const std::size_t cut = std::min(path.find('\\'), path.size());
    const std::string first = UpperText(path.substr(0, cut));
    const std::string_view rest = path.substr(std::min(cut + 1, path.size()));
    if (first == UpperText(root))
        below = rest;
    else if (first == "HKEY_CLASSES_ROOT" && UpperText(root) == "HKEY_LOCAL_MACHINE")
        below = "SOFTWARE\\Classes\\" + std::string(rest);
    else
        return false;
    return true;
}

int TextToBinary(const Options& options, const std::string& text, std::FILE* out)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    std::unordered_map<std::string, Hive9x::Key> made; // upper-cased path to key
    Hive9x::Key key = Hive9x::NoKey;
    std::string path;
    std::size_t otherRoots = 0;
    regconv::TextSink sink;
    sink.key = [&](std::string_view line)
    {
        std::string below;
        key = Hive9x::NoKey;
        path = line;
        if (!BelowRoot(line, options.root, below))
        {
            ++otherRoots;
            return true;
        }
        std::string upper = UpperText(below);
        auto found = made.find(upper);
        if (found != made.end())
        {
            key = found->second;
            return true;
        }
        const std::size_t cut = upper.rfind('\\');
        auto parent = cut == std::string::npos ? made.end() : made.find(upper.substr(0, cut));
        key = parent != made.end() ? hive->Create(parent->second, below.substr(cut + 1))
                                   : hive->Create(hive->Root(), below);
        if (key == Hive9x::NoKey)
        {
            std::fprintf(stderr,
                         "regconv: [%s]: key name too long or keys too deep for Windows 9x\n",
                         path.c_str());
            return options.dropOversize;
        }
        made.emplace(std::move(upper), key);
        return true;
    };
    sink.value = [&](std::string_view name, std::uint32_t type, std::string_view data)
    {
        if (key == Hive9x::NoKey || hive->SetValue(key, name, type, data))
            return true;
        const bool fits =
            name.size() <= win95::MaxHive9xName && data.size() <= win95::MaxHive9xData + 1;
        std::fprintf(stderr, "regconv: [%s] \"%.*s\": %s for Windows 9x (%zu bytes)\n",
                     path.c_str(), static_cast<int>(name.size()), name.data(),
                     fits ? "the key's values together too long" : "value too long", data.size());
        return options.dropOversize;
    };
    regconv::TextError error;
    if (!regconv::ReadText(text, sink, error))
    {
        if (!error.what.empty())
            std::fprintf(stderr, "regconv: %s:%zu: %s\n", options.input, error.line,
                         error.what.c_str());
        return 1;
    }
    if (otherRoots > 0)
        std::fprintf(stderr, "regconv: left out %zu key lines not under %s\n", otherRoots,
                     options.root.c_str());
    bool good = hive->Write([out](const char* data, std::size_t size)
                            { return std::fwrite(data, 1, size, out) == size; });
    return good ? 0 : 2;
}

bool PutText(std::FILE* out, const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

int BinaryToText(const Options& options, std::string bytes, std::FILE* out)
{
    win95::Hive9xError error;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), error);
    if (hive == nullptr)
    {
        std::fprintf(stderr, "regconv: %s: offset 0x%zx: %s\n", options.input, error.offset,
                     error.what.c_str());
        return 1;
    }
    std::string text = "REGEDIT4\r\n";
    struct Visit
    {
        Hive9x::Key key;
        std::string path;
    };
    std::vector<Visit> stack{{hive->Root(), options.root}};
    while (!stack.empty())
    {
        Visit here = std::move(stack.back());
        stack.pop_back();
        const auto& values = hive->Values(here.key);
        if (here.key != hive->Root() || !values.empty())
        {
            text += "\r\n[" + here.path + "]\r\n";
            for (const Hive9x::Value& value : values)
                text += regconv::ValueLine(value.name, value.type, value.data) + "\r\n";
        }
        std::vector<Visit> children;
        for (Hive9x::Key child = hive->FirstChild(here.key); child != Hive9x::NoKey;
             child = hive->NextSibling(child))
            children.push_back({child, here.path + "\\" + std::string(hive->Name(child))});
        stack.insert(stack.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
        if (text.size() >= (1 << 20))
        {
            if (!PutText(out, text))
                return 2;
            text.clear();
        }
    }
    text += "\r\n";
    return PutText(out, text) ? 0 : 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    int at = 1;
    for (; at < argc && argv[at][0] == '-' && argv[at][1] == '-'; ++at)
    {
        if (std::strcmp(argv[at], "--root") == 0 && at + 1 < argc)
            options.root = argv[++at];
        else if (std::strcmp(argv[at], "--drop-oversize") == 0)
            options.dropOversize = true;
        else
            break;
    }
    if (argc - at != 2)
    {
        std::fputs(usage, stderr);
        return 2;
    }
    options.input = argv[at];
    options.output = argv[at + 1];
    std::string input;
    if (!ReadFile(options.input, input))
    {
        std::fprintf(stderr, "regconv: %s: %s\n", options.input, std::strerror(errno));
        return 1;
    }
    std::FILE* out = std::fopen(options.output, "wb");
    if (out == nullptr)
    {
        std::fprintf(stderr, "regconv: %s: %s\n", options.output, std::strerror(errno));
        return 1;
    }
    const bool binary = input.compare(0, 4, "CREG") == 0;
    int status =
        binary ? BinaryToText(options, std::move(input), out) : TextToBinary(options, input, out);
    if (std::fclose(out) != 0 && status == 0)
        status = 2;
    if (status == 2)
        std::fprintf(stderr, "regconv: %s: cannot write\n", options.output);
    if (status != 0)
        std::remove(options.output);
    return status;
}
