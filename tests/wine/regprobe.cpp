// Writes registry keys, with everything below them, as REGEDIT4 text with
// exact bytes, read through RegQueryValueExA (`reg query` and `regedit /e`
// lose a REG_SZ's bytes after its first zero).
//   regprobe.exe <output file> <key> [<key> ...]
// A key is written with its root's full name, e.g. HKEY_LOCAL_MACHINE\System.
// Each key is "[key]" CR LF, its values, and an empty line; its subkeys
// follow in the order RegEnumKeyA gives them. A key that does not exist is
// written as "[-key]" and an empty line. Values:
//   "Name"="text"      REG_SZ that is text plus one zero byte, without CR or LF
//   "Name"=dword:...   REG_DWORD of four bytes
//   "Name"=hex:...     REG_BINARY
//   "Name"=hex(N):...  any other type or size, N in hexadecimal
// @ names the default value. Backslash and quote are escaped in names and
// texts; hex lines are wrapped as regedit wraps them.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{
const std::string lineEnd = "\r\n";
// regedit breaks a hex line after the byte that brings it to this many columns.
const size_t hexLineLimit = 77;

struct Root
{
    const char* name;
    HKEY key;
};
const Root roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                      {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                      {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                      {"HKEY_USERS", HKEY_USERS}};

std::string Escaped(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

bool IsPlainText(const std::vector<BYTE>& data)
{
    if (data.empty() || data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n')
            return false;
    return true;
}

std::string HexData(size_t column, const std::vector<BYTE>& data)
{
    std::string out;
    char digits[4];
    for (size_t i = 0; i < data.size(); ++i)
    {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        out += digits;
        if (i + 1 == data.size())
            break;
        out += ',';
        column += 3;
        if (column >= hexLineLimit)
        {
            out += "\\" + lineEnd + "  ";
            column = 2;
        }
    }
    return out;
}

std::string ValueLine(const std::string& name, DWORD type, const std::vector<BYTE>& data)
{
    std::string line = name.empty() ? "@=" : "\"" + Escaped(name) + "\"=";
    if (type == REG_SZ && IsPlainText(data))
        return line + "\"" + Escaped(reinterpret_cast<const char*>(data.data())) + "\"";
    if (type == REG_DWORD && data.size() == 4)
    {
        char number[16];
        std::snprintf(number, sizeof number, "dword:%02x%02x%02x%02x", data[3], data[2], data[1],
                      data[0]);
        return line + number;
    }
    char prefix[24];
    if (type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%lx):", type);
    line += prefix;
    return line + HexData(line.size(), data);
}

bool ReadValue(HKEY key, const std::string& name, DWORD& type, std::vector<BYTE>& data)
{
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.assign(size, 0);
    DWORD got = size;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, data.data(), &got) != ERROR_SUCCESS)
        return false;
    data.resize(got);
    return true;
}

bool WriteKey(HKEY key, const std::string& path, std::string& out)
{
    out += "[" + path + "]" + lineEnd;
    for (DWORD index = 0;; ++index)
    {
        char name[16384];
        DWORD nameSize = sizeof name;
        LONG result =
            RegEnumValueA(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        DWORD type;
        std::vector<BYTE> data;
        if (result != ERROR_SUCCESS || !ReadValue(key, std::string(name, nameSize), type, data))
        {
            std::fprintf(stderr, "regprobe: cannot read value %lu of %s\n", index, path.c_str());
            return false;
        }
        out += ValueLine(std::string(name, nameSize), type, data) + lineEnd;
    }
    out += lineEnd;
    for (DWORD index = 0;; ++index)
    {
        char name[256];
        LONG result = RegEnumKeyA(key, index, name, sizeof name);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        HKEY subKey;
        if (result != ERROR_SUCCESS || RegOpenKeyA(key, name, &subKey) != ERROR_SUCCESS)
        {
            std::fprintf(stderr, "regprobe: cannot open subkey %lu of %s\n", index, path.c_str());
            return false;
        }
        bool ok = WriteKey(subKey, path + "\\" + name, out);
        RegCloseKey(subKey);
        if (!ok)
            return false;
    }
    return true;
}

bool WriteTree(const std::string& path, std::string& out)
{
    size_t cut = path.find('\\');
    std::string rootName = path.substr(0, cut);
    std::string subPath = cut == std::string::npos ? "" : path.substr(cut + 1);
    for (const Root& root : roots)
    {
        if (rootName != root.name)
            continue;
        HKEY key;
        if (RegOpenKeyA(root.key, subPath.c_str(), &key) != ERROR_SUCCESS)
        {
            out += "[-" + path + "]" + lineEnd + lineEnd;
            return true;
        }
        bool ok = WriteKey(key, path, out);
        if (key != root.key)
            RegCloseKey(key);
        return ok;
    }
    std::fprintf(stderr, "regprobe: unknown root in %s\n", path.c_str());
    return false;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: regprobe <output file> <key> [<key> ...]\n");
        return 2;
    }
    std::string out;
    for (int i = 2; i < argc; ++i)
        if (!WriteTree(argv[i], out))
            return 1;
    FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr)
        return 1;
    bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    written = std::fclose(file) == 0 && written;
    return written ? 0 : 1;
}
