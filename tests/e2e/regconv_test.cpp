// regconv against independent readers: every key and value of a REGEDIT4
// image, converted to a Windows 9x binary registry, is what libcreg's
// cregexport (and, for the generated image, Parse::Win32Registry) reads
// back; and converted back to REGEDIT4 it is the image again.
#include "bench/generator.h"
#include "support/machines.h"
#include "tools/regedit4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iconv.h>
#include <map>
#include <sys/stat.h>

namespace
{

constexpr std::size_t maxData = 16300;

struct Value
{
    std::string name;
    std::uint32_t type = 0;
    std::string data;
    bool operator==(const Value& other) const
    {
        return name == other.name && type == other.type && data == other.data;
    }
};

// Keys by upper-cased path below the root: the path as first written, and
// the values in order.
struct Key
{
    std::string path;
    std::vector<Value> values;
};
using Tree = std::map<std::string, Key>;

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// The key at that path, made with its parents as needed; a key keeps the
// name it was first written with.
Key& KeyAt(Tree& tree, const std::string& path)
{
    Key* key = &tree[""];
    std::string upper;
    for (std::size_t from = 0; from < path.size();)
    {
        const std::size_t cut = std::min(path.find('\\', from), path.size());
        const std::string parent = key->path;
        upper += (upper.empty() ? "" : "\\") + Upper(path.substr(from, cut - from));
        key = &tree[upper];
        if (key->path.empty())
            key->path = (parent.empty() ? "" : parent + "\\") + path.substr(from, cut - from);
        from = cut + 1;
    }
    return *key;
}

std::string Describe(const std::vector<Value>& values)
{
    std::string text;
    for (const Value& value : values)
        text += value.name + " (" + std::to_string(value.type) + ", " +
                std::to_string(value.data.size()) + " bytes); ";
    return text;
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) {
                                                  return x == y ||
                                                         ((x | 0x20) == (y | 0x20) &&
                                                          (x | 0x20) >= 'a' && (x | 0x20) <= 'z');
                                              });
}

void SetValue(Key& key, Value value)
{
    for (Value& old : key.values)
        if (SameName(old.name, value.name))
        {
            old.type = value.type;
            old.data = std::move(value.data);
            return;
        }
    key.values.push_back(std::move(value));
}

// How SYSTEM.DAT holds a REG_SZ: without its terminating zero.
std::string Stored(std::uint32_t type, std::string data)
{
    if (type == 1 && !data.empty() && data.back() == '\0' &&
        (data.size() == 1 || data[data.size() - 2] != '\0'))
        data.pop_back();
    return data;
}

// The keys and values of REGEDIT4 text under HKEY_LOCAL_MACHINE (with
// HKEY_CLASSES_ROOT as its SOFTWARE\Classes), as SYSTEM.DAT stores them
// when `stored`, else as the registry calls give them.
Tree TreeOfText(const std::string& text, bool stored)
{
    Tree tree;
    Key* key = nullptr;
    regconv::TextSink sink;
    sink.key = [&](std::string_view line)
    {
        std::string path(line);
        const std::string machine = "HKEY_LOCAL_MACHINE";
        if (Upper(path.substr(0, machine.size())) == machine)
            path = path.size() > machine.size() ? path.substr(machine.size() + 1) : "";
        else if (Upper(path.substr(0, 17)) == "HKEY_CLASSES_ROOT")
            path = "SOFTWARE\\Classes" + path.substr(17);
        else
        {
            key = nullptr;
            return true;
        }
        key = &KeyAt(tree, path);
        return true;
    };
    sink.value = [&](std::string_view name, std::uint32_t type, std::string_view data)
    {
        std::string bytes(data);
        if (type == 1 && (bytes.empty() || bytes.back() != '\0'))
            bytes.push_back('\0');
        if (key != nullptr)
            SetValue(*key, {std::string(name), type, stored ? Stored(type, bytes) : bytes});
        return true;
    };
    win95::Fault error;
    EXPECT_TRUE(regconv::ReadText(text, sink, error)) << error.where << ": " << error.what;
    return tree;
}

std::string Utf8(const std::string& ansi)
{
    iconv_t convert = iconv_open("UTF-8", "CP1252");
    std::string out(ansi.size() * 4, '\0');
    char* in = const_cast<char*>(ansi.data());
    std::size_t inLeft = ansi.size();
    char* at = out.data();
    std::size_t outLeft = out.size();
    iconv(convert, &in, &inLeft, &at, &outLeft);
    iconv_close(convert);
    out.resize(out.size() - outLeft);
    return out;
}

Tree InUtf8(const Tree& tree)
{
    Tree converted;
    for (const auto& [upper, key] : tree)
    {
        Key& copy = converted[Upper(Utf8(key.path))];
        copy.path = Utf8(key.path);
        for (const Value& value : key.values)
            copy.values.push_back({Utf8(value.name), value.type, value.data});
    }
    return converted;
}

std::uint32_t TypeOf(const std::string& line)
{
    static const std::map<std::string, std::uint32_t> types = {{"(REG_NONE)", 0},
                                                               {"(REG_SZ)", 1},
                                                               {"(REG_EXPAND_SZ)", 2},
                                                               {"(REG_BINARY)", 3},
                                                               {"(REG_DWORD_LITTLE_ENDIAN)", 4},
                                                               {"(REG_DWORD_BIG_ENDIAN)", 5},
                                                               {"(REG_LINK)", 6},
                                                               {"(REG_MULTI_SZ)", 7}};
    std::size_t unknown = line.find("unknown: 0x");
    if (unknown != std::string::npos)
        return static_cast<std::uint32_t>(std::stoul(line.substr(unknown + 11), nullptr, 16));
    auto found = types.find(line.substr(line.rfind(' ') + 1));
    return found != types.end() ? found->second : 0xFFFFFFFFu;
}

// cregexport's listing: "Key path:", "Value: <n> <name>", "Type:", "Data
// size:", then the data as a hex dump (or, for a dword, its number).
Tree TreeOfExport(const std::string& listing)
{
    Tree tree;
    Key* key = nullptr;
    Value* value = nullptr;
    std::size_t size = 0;
    for (std::size_t at = 0; at < listing.size();)
    {
        const std::size_t end = std::min(listing.find('\n', at), listing.size());
        const std::string line = listing.substr(at, end - at);
        at = end + 1;
        if (line.rfind("Key path: ", 0) == 0)
        {
            key = &KeyAt(tree, line.substr(10));
            value = nullptr;
        }
        else if (line.rfind("Value: ", 0) == 0 && key != nullptr)
        {
            std::string name = line.substr(line.find(' ', 7) + 1);
            key->values.push_back({name == "(default)" ? "" : name, 0, ""});
            value = &key->values.back();
        }
        else if (value == nullptr)
            continue;
        else if (line.rfind("Type: ", 0) == 0)
            value->type = TypeOf(line);
        else if (line.rfind("Data size: ", 0) == 0)
            size = std::stoul(line.substr(11));
        else if (line.rfind("Data: ", 0) == 0 && (value->type == 4 || value->type == 5) &&
                 size == 4)
        {
            const auto number = static_cast<std::uint32_t>(std::stoul(line.substr(6)));
            for (int shift = 0; shift < 32; shift += 8)
                value->data.push_back(
                    static_cast<char>(number >> (value->type == 4 ? shift : 24 - shift)));
        }
        else if (line.size() > 10 && line[8] == ':' &&
                 line.find_first_not_of("0123456789abcdef") == 8)
        {
            std::size_t pos = 10;
            for (std::size_t n = std::min<std::size_t>(16, size - value->data.size()); n > 0;
                 --n, pos += 3)
            {
                if (line[pos] == ' ')
                    ++pos;
                value->data.push_back(
                    static_cast<char>(std::stoi(line.substr(pos, 2), nullptr, 16)));
            }
        }
    }
    return tree;
}

std::string Output(const std::string& command)
{
    std::string output;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    pclose(pipe);
    return output;
}

bool Have(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void ExpectSameTrees(const Tree& expected, const Tree& actual)
{
    EXPECT_EQ(expected.size(), actual.size()) << "keys";
    for (const auto& [upper, key] : expected)
    {
        auto found = actual.find(upper);
        if (found == actual.end())
        {
            ADD_FAILURE() << "missing key " << key.path;
            continue;
        }
        EXPECT_EQ(key.path, found->second.path);
        EXPECT_TRUE(key.values == found->second.values)
            << key.path << ": expected " << Describe(key.values) << "\ngot "
            << Describe(found->second.values);
    }
}

// Removes the values regconv said it left out, each of which Windows 9x
// cannot hold: over 16300 bytes itself, or its key's values together over
// what one data block holds.
void LeaveOut(Tree& tree, const std::string& messages)
{
    for (std::size_t at = messages.find(": ["); at != std::string::npos;
         at = messages.find(": [", at + 1))
    {
        const std::size_t close = messages.find("] \"", at);
        const std::size_t nameEnd = messages.find("\": ", close + 3);
        ASSERT_NE(std::string::npos, nameEnd) << messages.substr(at, 200);
        std::string path = messages.substr(at + 3, close - at - 3);
        path = path.substr(path.find('\\') + 1);
        const std::string name = messages.substr(close + 3, nameEnd - close - 3);
        Key& key = tree.at(Upper(path));
        std::size_t total = 0;
        for (const Value& value : key.values)
            total += 12 + value.name.size() + value.data.size();
        auto same = std::find_if(key.values.begin(), key.values.end(),
                                 [&](const Value& v) { return v.name == name; });
        ASSERT_NE(key.values.end(), same) << name;
        EXPECT_TRUE(same->data.size() > maxData || total + 20 + path.size() > 0xFFD0)
            << path << " " << name;
        key.values.erase(same);
    }
}

struct Converted
{
    std::string binary;
    std::string messages;
};

Converted Convert(const std::string& text, bool dropOversize)
{
    const std::string dir = support::TempDir();
    support::WriteFile(dir + "/in.reg", text);
    std::vector<std::string> arguments{dir + "/in.reg", dir + "/SYSTEM.DAT"};
    if (dropOversize)
        arguments.insert(arguments.begin(), "--drop-oversize");
    support::RunResult result =
        support::RunProgram(support::Program("tools/regconv"), arguments, dir);
    EXPECT_EQ(0, result.exitStatus) << result.errorOutput;
    return {dir + "/SYSTEM.DAT", result.errorOutput};
}

// What cregexport reads from the binary file is the image's keys and
// values, byte for byte; converted back, the REGEDIT4 text holds them as
// the registry calls give them. Gives the file and the keys it holds.
std::pair<Converted, Tree> CheckImage(const std::string& text, bool dropOversize)
{
    const Converted converted = Convert(text, dropOversize);
    Tree stored = TreeOfText(text, true);
    LeaveOut(stored, converted.messages);
    const std::string listing = Output("cregexport '" + converted.binary + "' 2>&1");
    EXPECT_EQ(std::string::npos, listing.find("Unable to export"))
        << listing.substr(listing.find("Unable"));
    Tree exported = TreeOfExport(listing);
    ExpectSameTrees(InUtf8(stored), exported);

    const std::string back = converted.binary + ".reg";
    support::RunResult result = support::RunProgram(support::Program("tools/regconv"),
                                                    {converted.binary, back}, converted.binary);
    EXPECT_EQ(0, result.exitStatus) << result.errorOutput;
    Tree called = TreeOfText(text, false);
    LeaveOut(called, converted.messages);
    ExpectSameTrees(called, TreeOfText(support::ReadFile(back), false));
    return {converted, std::move(stored)};
}

class Regconv : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!Have("cregexport -V"))
            GTEST_SKIP() << "cregexport (Debian package libcreg-utils) is not installed";
    }
};

TEST_F(Regconv, DefaultMachineReadsBackThroughCregexport)
{
    CheckImage(support::ReadFile(std::string(TAVRINE_SOURCE_DIR) + "/machines/default.reg"), false);
}

TEST_F(Regconv, EveryFixtureReadsBackThroughCregexport)
{
    for (const char* name :
         {"existing-printer.reg", "many-printers.reg", "odd.reg", "port-bios-before-root.reg",
          "port-long-names.reg", "port-no-lptenum.reg", "port-no-match.reg", "port-root-only.reg",
          "port-second-instance.reg", "port-unterminated.reg", "port-value-lengths.reg",
          "shell-no-clsid.reg", "shell-no-handler-parent.reg"})
    {
        SCOPED_TRACE(name);
        CheckImage(support::Fixture(name), false);
    }
}

// A file as Windows Me wrote it converts to what cregexport reads from it;
// the check finds it sound, and names a counter that is not.
TEST_F(Regconv, RealWindowsFileConvertsAsCregexportReadsIt)
{
    const std::string dir = support::TempDir();
    const std::string file = std::string(TAVRINE_FIXTURES) + "/win9x/USER.DAT";
    const std::string regconv = support::Program("tools/regconv");
    support::RunResult result = support::RunProgram(regconv, {file, dir + "/user.reg"}, dir);
    ASSERT_EQ(0, result.exitStatus) << result.errorOutput;
    ExpectSameTrees(InUtf8(TreeOfText(support::ReadFile(dir + "/user.reg"), true)),
                    TreeOfExport(Output("cregexport '" + file + "' 2>&1")));

    auto check = [&](const std::string& path)
    { return Output("'" + regconv + "' --check '" + path + "'; echo status $?"); };
    EXPECT_EQ(file + ": sound\nstatus 0\n", check(file));
    std::string spoiled = support::ReadFile(file);
    spoiled[0x6020 + 0x16] = 0x11;
    support::WriteFile(dir + "/USER.DAT", spoiled);
    EXPECT_EQ(dir + "/USER.DAT: offset 0x6036: data block's first_free_id is not its lowest "
                    "free number\nstatus 1\n",
              check(dir + "/USER.DAT"));
}

// A damaged binary file is refused with one line, and nothing is written.
TEST(RegconvInput, DamagedFileIsRefusedWithOneLine)
{
    const Converted converted = Convert(support::Fixture("many-printers.reg"), false);
    std::string bytes = support::ReadFile(converted.binary);
    bytes.resize(bytes.size() - 0x100);
    support::WriteFile(converted.binary, bytes);
    const std::string out = converted.binary + ".reg";
    support::RunResult result = support::RunProgram(support::Program("tools/regconv"),
                                                    {converted.binary, out}, converted.binary);
    EXPECT_EQ(1, result.exitStatus);
    EXPECT_EQ(converted.binary + ": offset 0x",
              result.errorOutput.substr(9, converted.binary.size() + 11));
    EXPECT_NE(std::string::npos, result.errorOutput.find("truncated file"));
    EXPECT_EQ(1, std::count(result.errorOutput.begin(), result.errorOutput.end(), '\n'))
        << result.errorOutput;
    EXPECT_FALSE(support::FileExists(out));
}

// The output replaces nothing it may not: not the input, whatever name
// leads to it; not a named pipe, which is never opened to wait on; and an
// old output only once the new one is written whole, so that a size limit
// leaves the old one and no temporary file, and then with its permissions.
TEST(RegconvFiles, NeverHarmsTheInputNorLeavesAHalfWrittenOutput)
{
    const std::string dir = support::TempDir();
    const std::string text = support::Fixture("default.reg");
    support::WriteFile(dir + "/in.reg", text);
    auto shell = [&](const std::string& script) {
        return support::RunProgram("/bin/sh", {"-c", script}, dir);
    };
    const std::string regconv = "'" + support::Program("tools/regconv") + "'";
    ASSERT_EQ(0, shell("cd '" + dir + "' && ln -s in.reg link.reg && ln in.reg hard.reg && " +
                       "mkfifo pipe && echo old >old.dat")
                     .exitStatus);
    for (const char* output : {"in.reg", "link.reg", "hard.reg", "pipe"})
    {
        SCOPED_TRACE(output);
        support::RunResult result =
            shell("cd '" + dir + "' && exec timeout 10 " + regconv + " in.reg " + output);
        EXPECT_EQ(1, result.exitStatus);
        EXPECT_EQ(1, std::count(result.errorOutput.begin(), result.errorOutput.end(), '\n'))
            << result.errorOutput;
        EXPECT_TRUE(text == support::ReadFile(dir + "/in.reg")) << "the input changed";
    }
    support::RunResult fromPipe =
        shell("cd '" + dir + "' && exec timeout 10 " + regconv + " pipe new.dat");
    EXPECT_EQ(1, fromPipe.exitStatus) << fromPipe.errorOutput;

    support::RunResult limited =
        shell("cd '" + dir + "' && ulimit -f 1 && exec " + regconv + " in.reg old.dat");
    EXPECT_EQ(1, limited.exitStatus);
    EXPECT_NE(std::string::npos, limited.errorOutput.find("old.dat: File too large"))
        << limited.errorOutput;
    EXPECT_EQ("old\n", support::ReadFile(dir + "/old.dat"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"hard.reg", "in.reg", "link.reg", "old.dat", "pipe"}),
              names);

    // Replaced at last, the old output's permissions stay.
    ASSERT_EQ(0, chmod((dir + "/old.dat").c_str(), 0640));
    EXPECT_EQ(0,
              shell("exec " + regconv + " '" + dir + "/in.reg' '" + dir + "/old.dat'").exitStatus);
    struct stat info;
    ASSERT_EQ(0, stat((dir + "/old.dat").c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
    EXPECT_EQ("CREG", support::ReadFile(dir + "/old.dat").substr(0, 4));
}

// --help and --version answer on standard output; "-" is standard input
// or output; a root that no Windows 9x registry file holds is refused.
TEST(RegconvCommandLine, AnswersHelpTakesDashAndRefusesAnUnknownRoot)
{
    const std::string dir = support::TempDir();
    const std::string program = support::Program("tools/regconv");
    support::RunResult help = support::RunProgram(program, {"--help"}, dir);
    EXPECT_EQ(0, help.exitStatus);
    EXPECT_EQ("usage: regconv ", help.output.substr(0, 15));
    EXPECT_EQ("", help.errorOutput);
    support::RunResult version = support::RunProgram(program, {"--version"}, dir);
    EXPECT_EQ(0, version.exitStatus);
    EXPECT_EQ("regconv (Tavrine printer tools) " TAVRINE_VERSION "\n", version.output);

    support::WriteFile(dir + "/in.reg", support::Fixture("default.reg"));
    ASSERT_EQ(0,
              support::RunProgram(program, {dir + "/in.reg", dir + "/SYSTEM.DAT"}, dir).exitStatus);
    support::RunResult piped = support::RunProgram(
        "/bin/sh", {"-c", "exec '" + program + "' - - <'" + dir + "/in.reg'"}, dir);
    EXPECT_EQ(0, piped.exitStatus) << piped.errorOutput;
    EXPECT_EQ(support::ReadFile(dir + "/SYSTEM.DAT"), piped.output);

    support::RunResult bogus = support::RunProgram(
        program, {"--root", "HKEY_BOGUS", dir + "/in.reg", dir + "/bogus.dat"}, dir);
    EXPECT_EQ(2, bogus.exitStatus);
    EXPECT_NE(std::string::npos, bogus.errorOutput.find("HKEY_BOGUS")) << bogus.errorOutput;
    EXPECT_FALSE(support::FileExists(dir + "/bogus.dat"));
}

// A generated image of 10 MB: its few values longer than Windows 9x allows
// are left out and named; everything else reads back, through cregexport
// and through Parse::Win32Registry.
TEST_F(Regconv, GeneratedImageReadsBackThroughTwoReaders)
{
    const auto [converted, stored] = CheckImage(bench::GenerateImage(13, 10 << 20), true);
    if (!Have("perl -MParse::Win32Registry -e 1"))
        GTEST_SKIP()
            << "Parse::Win32Registry (Debian package libparse-win32registry-perl) is not installed";
    std::size_t values = 0;
    for (const auto& [upper, key] : stored)
        values += key.values.size();
    const std::string counted = Output(
        "perl -MParse::Win32Registry -e '$r = Parse::Win32Registry->new($ARGV[0]) or die; @s = "
        "($r->get_root_key); while ($k = pop @s) { $n++; $v += () = $k->get_list_of_values; push "
        "@s, "
        "$k->get_list_of_subkeys } print \"$n $v\"' '" +
        converted.binary + "' 2>&1");
    EXPECT_EQ(std::to_string(stored.size()) + " " + std::to_string(values), counted);
}

} // namespace
