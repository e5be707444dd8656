// Checks a registry change against a golden REGEDIT4 fragment, on dumps
// written by regprobe before and after a run.
//   regcompare.exe <before> <after> <golden> <report>
// Every "[key]" section of the fragment must stand in `after` with exactly
// its values, each value's text byte for byte; a "[-key]" section says that
// the key and everything below it must be absent; every other key of
// `after` must be in `before` with the same values, and no key of `before`
// may be lost. Wine keeps a key's values and subkeys sorted by name, where
// Windows 95 keeps them in the order they were written: values are compared
// one by one, and where the order differs the report says so in a note.
// The report ends with the line "PASS" or "FAIL".
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{
struct Value
{
    std::string name; // as written: "Name" (escaped) or @
    std::string text; // the whole value line, continuation lines included
};

struct Section
{
    std::string header; // the key, without brackets and without a leading '-'
    bool removed = false;
    std::vector<Value> values;
};

struct Dump
{
    std::vector<Section> sections;
    std::vector<std::string> duplicates;
};

bool ReadWholeFile(const char* path, std::string& bytes)
{
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr)
        return false;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.append(chunk, got);
    bool ok = !std::ferror(in);
    std::fclose(in);
    return ok;
}

std::string WithoutLineEnd(const std::string& line)
{
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    return line.substr(0, end);
}

std::string NameOf(const std::string& line)
{
    if (line[0] == '@')
        return "@";
    size_t at = 1;
    while (at < line.size() && line[at] != '"')
        at += line[at] == '\\' ? 2 : 1;
    return line.substr(0, at + 1);
}

Dump Parse(const std::string& text)
{
    Dump dump;
    std::map<std::string, int> seen;
    bool continued = false;
    size_t at = 0;
    while (at < text.size())
    {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(at, end - at);
        at = end;
        std::string bare = WithoutLineEnd(line);
        if (continued)
        {
            dump.sections.back().values.back().text += line;
            continued = !bare.empty() && bare.back() == '\\';
            continue;
        }
        if (!bare.empty() && bare[0] == '[' && bare.back() == ']')
        {
            Section section;
            section.removed = bare[1] == '-';
            section.header =
                bare.substr(section.removed ? 2 : 1, bare.size() - (section.removed ? 3 : 2));
            if (seen[section.header]++ == 1)
                dump.duplicates.push_back(section.header);
            dump.sections.push_back(section);
        }
        else if (!bare.empty() && (bare[0] == '"' || bare[0] == '@') && !dump.sections.empty())
        {
            dump.sections.back().values.push_back({NameOf(bare), line});
            continued = bare.back() == '\\';
        }
    }
    return dump;
}

const Section* Find(const Dump& dump, const std::string& header)
{
    for (const Section& section : dump.sections)
        if (section.header == header && !section.removed)
            return &section;
    return nullptr;
}

const Value* FindValue(const Section& section, const std::string& name)
{
    for (const Value& value : section.values)
        if (value.name == name)
            return &value;
    return nullptr;
}

bool IsAtOrBelow(const std::string& header, const std::string& key)
{
    return header == key || header.compare(0, key.size() + 1, key + "\\") == 0;
}

class Report
{
  public:
    void Problem(const std::string& text)
    {
        out_ += text + "\n";
        failed_ = true;
    }
    void Note(const std::string& text)
    {
        out_ += "note: " + text + "\n";
    }
    bool Write(const char* path)
    {
        out_ += failed_ ? "FAIL\n" : "PASS\n";
        std::fputs(out_.c_str(), stdout);
        FILE* file = std::fopen(path, "wb");
        if (file == nullptr)
            return false;
        bool written = std::fwrite(out_.data(), 1, out_.size(), file) == out_.size();
        return std::fclose(file) == 0 && written && !failed_;
    }

  private:
    std::string out_;
    bool failed_ = false;
};

// Both sections hold the same values; `expected` gives the order to note.
void CompareValues(const Section& expected, const Section& actual, Report& report)
{
    for (const Value& value : expected.values)
    {
        const Value* found = FindValue(actual, value.name);
        if (found == nullptr)
            report.Problem("[" + actual.header + "] lacks " + WithoutLineEnd(value.text));
        else if (found->text != value.text)
            report.Problem("[" + actual.header + "] has " + WithoutLineEnd(found->text) +
                           "\n  expected " + WithoutLineEnd(value.text));
    }
    std::vector<std::string> order;
    for (const Value& value : actual.values)
    {
        if (FindValue(expected, value.name) == nullptr)
            report.Problem("[" + actual.header + "] has unexpected " + WithoutLineEnd(value.text));
        else
            order.push_back(value.name);
    }
    std::vector<std::string> expectedOrder;
    for (const Value& value : expected.values)
        if (FindValue(actual, value.name) != nullptr)
            expectedOrder.push_back(value.name);
    if (order != expectedOrder)
        report.Note("[" + actual.header + "]: values stand in another order than expected " +
                    "(Wine keeps them sorted by name, Windows 95 in the order written)");
}

void Compare(const Dump& before, const Dump& after, const Dump& golden, Report& report)
{
    for (const std::string& header : after.duplicates)
        report.Problem("[" + header + "] appears twice");
    std::vector<std::string> removed;
    for (const Section& section : golden.sections)
        if (section.removed)
            removed.push_back(section.header);
    auto isRemoved = [&](const std::string& header)
    {
        for (const std::string& key : removed)
            if (IsAtOrBelow(header, key))
                return true;
        return false;
    };

    for (const Section& expected : golden.sections)
    {
        if (expected.removed)
            continue;
        const Section* actual = Find(after, expected.header);
        if (actual == nullptr)
            report.Problem("missing key [" + expected.header + "]");
        else
            CompareValues(expected, *actual, report);
    }
    for (const Section& section : after.sections)
    {
        if (section.removed)
            continue;
        if (isRemoved(section.header))
        {
            report.Problem("key not removed [" + section.header + "]");
            continue;
        }
        if (Find(golden, section.header) != nullptr)
            continue;
        const Section* old = Find(before, section.header);
        if (old == nullptr)
            report.Problem("unexpected new key [" + section.header + "]");
        else
            CompareValues(*old, section, report);
    }
    for (const Section& section : before.sections)
        if (!section.removed && !isRemoved(section.header) &&
            Find(after, section.header) == nullptr)
            report.Problem("key lost [" + section.header + "]");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 5)
    {
        std::fprintf(stderr, "usage: regcompare <before> <after> <golden> <report>\n");
        return 2;
    }
    std::string texts[3];
    for (int i = 0; i < 3; ++i)
        if (!ReadWholeFile(argv[i + 1], texts[i]))
        {
            std::fprintf(stderr, "regcompare: cannot read %s\n", argv[i + 1]);
            return 2;
        }
    Report report;
    Compare(Parse(texts[0]), Parse(texts[1]), Parse(texts[2]), report);
    return report.Write(argv[4]) ? 0 : 1;
}
