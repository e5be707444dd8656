// The Windows 9x binary registry file: the calls, what survives writing and
// reading back, where the writer puts what changed, and malformed files.
#include "platform/posix/storage/win9x/hive.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{

using win95::Hive9x;
using Key = Hive9x::Key;

std::string Bytes(const Hive9x& hive)
{
    std::string bytes;
    EXPECT_TRUE(hive.Write(
        [&bytes](const char* data, std::size_t size)
        {
            bytes.append(data, size);
            return true;
        }));
    return bytes;
}

std::unique_ptr<Hive9x> Read(std::string bytes)
{
    win95::Fault error;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), error);
    EXPECT_NE(nullptr, hive) << error.where << ": " << error.what;
    return hive;
}

// Every key path and value, in file order.
std::string Dump(Hive9x& hive)
{
    std::string dump;
    std::function<void(Key, const std::string&)> walk = [&](Key key, const std::string& path)
    {
        dump += "[" + path + "]\n";
        for (const Hive9x::Value& value : hive.Values(key))
            dump += value.name + "=" + std::to_string(value.type) + ":" +
                    std::to_string(value.data.size()) + ":" + value.data + "\n";
        for (Key child = hive.FirstChild(key); child != Hive9x::NoKey;
             child = hive.NextSibling(child))
            walk(child, path + "\\" + std::string(hive.Name(child)));
    };
    walk(hive.Root(), "");
    return dump;
}

std::uint32_t Get32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

std::uint32_t Get16(const std::string& bytes, std::size_t at)
{
    return Get32(bytes, at) & 0xFFFF;
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

void Put16(std::string& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

// The key at the path below the root, looked up name by name; empty names
// are passed over.
Key At(const Hive9x& hive, std::string_view path)
{
    Key key = hive.Root();
    for (std::size_t from = 0; from < path.size();)
    {
        const std::size_t stop = std::min(path.find('\\', from), path.size());
        if (stop > from)
            key = hive.Find(key, path.substr(from, stop - from));
        from = stop + 1;
    }
    return key;
}

std::string sz(std::string text)
{
    return text + '\0';
}

TEST(Hive9x, KeysAndValuesComeBackFromTheFile)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    Key print = hive->Create(hive->Root(), "System\\CurrentControlSet\\Control\\Print");
    ASSERT_NE(Hive9x::NoKey, print);
    Key zeta = hive->Create(print, "Zeta");
    Key alpha = hive->Create(print, "alpha\\");
    EXPECT_EQ(zeta, hive->Create(print, "ZETA"));
    EXPECT_EQ(alpha, At(*hive, "\\SYSTEM\\currentcontrolset\\Control\\Print\\ALPHA\\"));
    ASSERT_TRUE(hive->SetValue(zeta, "", 1, sz("default")));
    ASSERT_TRUE(hive->SetValue(zeta, "Attributes", 4, std::string("\x40\x02\0\0", 4)));
    ASSERT_TRUE(hive->SetValue(zeta, "Hoch \xC4\xD6", 3, std::string("\0\xFF\x01", 3)));
    ASSERT_TRUE(hive->SetValue(zeta, "attributes", 4, std::string("\x41\x02\0\0", 4)));
    ASSERT_TRUE(hive->SetValue(alpha, "Custom", 0x12345, "x"));
    EXPECT_TRUE(hive->Changed());

    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    EXPECT_FALSE(read->Changed());
    EXPECT_EQ(
        "[]\n[\\System]\n[\\System\\CurrentControlSet]\n[\\System\\CurrentControlSet\\Control]\n"
        "[\\System\\CurrentControlSet\\Control\\Print]\n"
        "[\\System\\CurrentControlSet\\Control\\Print\\Zeta]\n"
        "=1:8:default" +
            std::string(1, '\0') + "\nAttributes=4:4:" + std::string("\x41\x02\0\0", 4) +
            "\nHoch \xC4\xD6=3:3:" + std::string("\0\xFF\x01", 3) +
            "\n[\\System\\CurrentControlSet\\Control\\Print\\alpha]\nCustom=74565:1:x\n",
        Dump(*read));
    Key found = At(*read, "system\\CURRENTCONTROLSET\\control\\print\\zeta");
    ASSERT_NE(Hive9x::NoKey, found);
    EXPECT_EQ("Zeta", read->Name(found));
    ASSERT_NE(nullptr, read->FindValue(found, "hoch \xC4\xD6"));
    EXPECT_EQ(nullptr, read->FindValue(found, "hoch \xE4\xF6"))
        << "only ASCII letters match in any case";
}

// A REG_SZ is stored without its terminating zero and reads back with one,
// as Windows 9x answers; every string that ends in a zero comes back as it
// was set.
TEST(Hive9x, StringsComeBackAsWindows9xAnswers)
{
    struct Case
    {
        std::uint32_t type;
        std::string set;
        std::string read;
    };
    const Case cases[] = {
        {1, sz("text"), sz("text")},
        {1, sz(sz("two zeros")), sz(sz("two zeros"))},
        {1, sz(sz("a") + "b"), sz(sz("a") + "b")},
        {1, sz(""), sz("")},
        {1, "no zero", sz("no zero")},
        {1, "", sz("")},
        {2, "expand, no zero", "expand, no zero"},
        {3, "", ""},
    };
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    Key key = hive->Create(hive->Root(), "Strings");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        ASSERT_TRUE(hive->SetValue(key, std::to_string(i), cases[i].type, cases[i].set));
    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    Key again = read->Find(read->Root(), "Strings");
    for (std::size_t i = 0; i < std::size(cases); ++i)
    {
        const Hive9x::Value* value = read->FindValue(again, std::to_string(i));
        ASSERT_NE(nullptr, value);
        EXPECT_EQ(cases[i].read, value->data) << "case " << i;
        EXPECT_EQ(cases[i].read, hive->FindValue(key, std::to_string(i))->data)
            << "case " << i << ", before the file is written";
    }
}

// A file with two levels of keys and several values, as the writer lays it out.
std::string SmallFile()
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    Key one = hive->Create(hive->Root(), "One");
    Key two = hive->Create(hive->Root(), "Two");
    Key child = hive->Create(one, "Child");
    hive->SetValue(one, "Name", 1, sz("first"));
    hive->SetValue(two, "Name", 1, sz("second value"));
    hive->SetValue(two, "Number", 4, std::string(4, '\x07'));
    hive->SetValue(child, "", 3, "bytes");
    return Bytes(*hive);
}

TEST(Hive9x, AnUnchangedFileIsWrittenBackByteForByte)
{
    const std::string file = SmallFile();
    std::unique_ptr<Hive9x> hive = Read(file);
    ASSERT_NE(nullptr, hive);
    EXPECT_TRUE(file == Bytes(*hive));
}

// A change that fits its record rewrites that record and nothing else.
TEST(Hive9x, AChangeThatFitsStaysInItsRecord)
{
    const std::string file = SmallFile();
    std::unique_ptr<Hive9x> hive = Read(file);
    ASSERT_NE(nullptr, hive);
    Key two = hive->Find(hive->Root(), "Two");
    ASSERT_TRUE(hive->SetValue(two, "Name", 1, sz("shorter")));
    const std::string written = Bytes(*hive);
    ASSERT_EQ(file.size(), written.size());
    std::size_t first = 0;
    while (first < file.size() && file[first] == written[first])
        ++first;
    std::size_t last = file.size();
    while (last > first && file[last - 1] == written[last - 1])
        --last;
    const std::size_t recordOne = Get32(file, 8) + 0x20;
    const std::size_t recordTwo = recordOne + Get32(file, recordOne);
    EXPECT_GE(first, recordTwo);
    EXPECT_LE(last, recordTwo + Get32(file, recordTwo)) << "bytes changed beyond the record of Two";
    std::unique_ptr<Hive9x> read = Read(written);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(sz("shorter"), read->FindValue(read->Find(read->Root(), "Two"), "Name")->data);
}

// Growing, adding and deleting in one run leave every other key and value
// as it was, in its order.
TEST(Hive9x, ChangesLeaveTheRestAsItWas)
{
    std::unique_ptr<Hive9x> hive = Read(SmallFile());
    ASSERT_NE(nullptr, hive);
    Key one = hive->Find(hive->Root(), "One");
    ASSERT_TRUE(hive->SetValue(one, "Name", 1, sz(std::string(3000, 'g'))));
    ASSERT_TRUE(hive->SetValue(one, "Added", 4, std::string(4, '\x01')));
    hive->Delete(hive->Find(one, "Child"));
    Key made = hive->Create(hive->Root(), "Three\\Four");
    ASSERT_TRUE(hive->SetValue(made, "New", 1, sz("new")));
    ASSERT_TRUE(hive->DeleteValue(hive->Find(hive->Root(), "Two"), "Number"));

    std::unique_ptr<Hive9x> expected = Hive9x::Empty();
    Key eOne = expected->Create(expected->Root(), "One");
    Key eTwo = expected->Create(expected->Root(), "Two");
    expected->SetValue(eOne, "Name", 1, sz(std::string(3000, 'g')));
    expected->SetValue(eOne, "Added", 4, std::string(4, '\x01'));
    expected->SetValue(eTwo, "Name", 1, sz("second value"));
    expected->SetValue(expected->Create(expected->Root(), "Three\\Four"), "New", 1, sz("new"));

    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(Dump(*expected), Dump(*read));
}

// A value the run did not set keeps its stored bytes when another value
// of its key changes: here a REG_SZ stored with its zero, as some files
// hold it, and a header word no description gives a meaning.
TEST(Hive9x, UntouchedValuesKeepTheirBytesInAChangedKey)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    hive->SetValue(hive->Create(hive->Root(), "Key"), "Name", 3, sz("first"));
    std::string file = Bytes(*hive);
    const std::string stored = std::string("\3\0\0\0\0\0\0\0\4\0\6\0Name", 16) + sz("first");
    const std::size_t at = file.find(stored);
    ASSERT_NE(std::string::npos, at);
    file[at] = 1;
    Put32(file, at + 4, 0x12345678);
    const std::string kept = file.substr(at, stored.size());

    hive = Read(file);
    ASSERT_NE(nullptr, hive);
    Key key = hive->Find(hive->Root(), "Key");
    EXPECT_EQ(sz("first"), hive->FindValue(key, "Name")->data);
    ASSERT_TRUE(hive->SetValue(key, "Other", 4, std::string(4, '\0')));
    EXPECT_NE(std::string::npos, Bytes(*hive).find(kept));
}

TEST(Hive9x, DeletingTakesTheWholeSubtree)
{
    std::unique_ptr<Hive9x> hive = Read(SmallFile());
    ASSERT_NE(nullptr, hive);
    Key one = hive->Find(hive->Root(), "One");
    Key child = hive->Find(one, "Child");
    hive->Delete(one);
    EXPECT_FALSE(hive->Exists(child));
    EXPECT_EQ(Hive9x::NoKey, hive->Find(hive->Find(hive->Root(), "One"), "Child"));
    EXPECT_EQ(Hive9x::NoKey, hive->Create(child, "Below"));
    Key again = hive->Create(hive->Root(), "ONE");
    EXPECT_TRUE(hive->Values(again).empty());
    EXPECT_EQ(Hive9x::NoKey, hive->FirstChild(again));
    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    EXPECT_EQ("[]\n[\\Two]\nName=1:13:second value" + std::string(1, '\0') +
                  "\nNumber=4:4:" + std::string(4, '\x07') + "\n[\\ONE]\n",
              Dump(*read));
}

// Past a few dozen subkeys, look-ups go through an index of their names,
// which must follow every key added and deleted after it is built.
TEST(Hive9x, LookUpsAmongManySubkeysFollowCreatesAndDeletes)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    Key many = hive->Create(hive->Root(), "Many");
    std::vector<Key> keys;
    for (int i = 0; i < 100; ++i)
        keys.push_back(hive->Create(many, "Key " + std::to_string(i)));
    EXPECT_EQ(keys[99], hive->Find(many, "KEY 99"));
    EXPECT_EQ(keys[50], hive->Find(many, "key 50"));
    EXPECT_EQ(Hive9x::NoKey, hive->Find(many, "Key 100"));

    Key late = hive->Create(many, "Late");
    EXPECT_EQ(late, hive->Find(many, "LATE"));
    EXPECT_EQ(keys[10], hive->Create(many, "KEY 10"));
    hive->Delete(keys[10]);
    EXPECT_EQ(Hive9x::NoKey, hive->Find(many, "Key 10"));
    Key again = hive->Create(many, "KEY 10");
    EXPECT_NE(keys[10], again);
    EXPECT_EQ(again, At(*hive, "many\\key 10"));

    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    Key readMany = read->Find(read->Root(), "Many");
    EXPECT_EQ("Key 99", read->Name(read->Find(readMany, "key 99")));
    EXPECT_EQ("KEY 10", read->Name(read->Find(readMany, "key 10")));
    read->Delete(read->Find(readMany, "Late"));
    EXPECT_EQ(Hive9x::NoKey, read->Find(readMany, "Late"));
}

// With every key gone the file has no data block left, and still reads.
TEST(Hive9x, AFileWithOnlyTheRootReads)
{
    std::unique_ptr<Hive9x> hive = Read(SmallFile());
    ASSERT_NE(nullptr, hive);
    hive->Delete(hive->Find(hive->Root(), "One"));
    hive->Delete(hive->Find(hive->Root(), "Two"));
    std::unique_ptr<Hive9x> read = Read(Bytes(*hive));
    ASSERT_NE(nullptr, read);
    EXPECT_EQ("[]\n", Dump(*read));
}

// Keys spread over several data blocks; a block whose records are all
// deleted stays, as one free record, and the next keys fill it again.
TEST(Hive9x, AnEmptiedBlockStaysAndIsFilledAgain)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    for (int i = 0; i < 12; ++i)
        hive->SetValue(hive->Create(hive->Root(), "k" + std::to_string(i)), "Data", 3,
                       std::string(16000, static_cast<char>('a' + i)));
    std::string file = Bytes(*hive);
    EXPECT_EQ(3u, Get32(file, 0x10) & 0xFFFF) << "four records of 16000 bytes fill a block";
    hive = Read(file);
    ASSERT_NE(nullptr, hive);
    for (int i = 4; i < 8; ++i)
        hive->Delete(hive->Find(hive->Root(), "k" + std::to_string(i)));
    file = Bytes(*hive);
    EXPECT_EQ(3u, Get32(file, 0x10) & 0xFFFF);
    const std::size_t second = Get32(file, 8) + Get32(file, Get32(file, 8) + 4);
    EXPECT_EQ(Get32(file, second + 4) - 0x20, Get32(file, second + 8)) << "all of it unused";
    EXPECT_EQ(0u, Get32(file, second + 0x16) & 0xFFFF) << "first_free_id";
    hive = Read(file);
    ASSERT_NE(nullptr, hive);
    for (int i = 12; i < 16; ++i)
        hive->SetValue(hive->Create(hive->Root(), "k" + std::to_string(i)), "Data", 3,
                       std::string(16000, static_cast<char>('a' + i)));
    file = Bytes(*hive);
    EXPECT_EQ(3u, Get32(file, 0x10) & 0xFFFF);
    std::unique_ptr<Hive9x> read = Read(file);
    ASSERT_NE(nullptr, read);
    int count = 0;
    for (Key key = read->FirstChild(read->Root()); key != Hive9x::NoKey;
         key = read->NextSibling(key), ++count)
    {
        const int i = std::stoi(std::string(read->Name(key).substr(1)));
        EXPECT_TRUE(i < 4 || i >= 8);
        EXPECT_EQ(std::string(16000, static_cast<char>('a' + i)),
                  read->FindValue(key, "Data")->data);
    }
    EXPECT_EQ(12, count);
}

TEST(Hive9x, WhatWindows9xCannotHoldIsRefused)
{
    std::unique_ptr<Hive9x> hive = Read(SmallFile());
    ASSERT_NE(nullptr, hive);
    Key two = hive->Find(hive->Root(), "Two");
    EXPECT_FALSE(hive->SetValue(two, "Big", 3, std::string(16301, 'x')));
    EXPECT_FALSE(hive->SetValue(two, std::string(256, 'n'), 3, "x"));
    EXPECT_FALSE(hive->SetValue(hive->Root(), "OnRoot", 3, "x"));
    EXPECT_EQ(Hive9x::NoKey, hive->Create(two, std::string(256, 'k')));
    std::string deep;
    for (int i = 0; i < 513; ++i)
        deep += "d\\";
    EXPECT_EQ(Hive9x::NoKey, hive->Create(hive->Root(), deep));
    EXPECT_FALSE(hive->Changed()) << "a refused call changes nothing";
    EXPECT_TRUE(hive->SetValue(two, "Text", 1, sz(std::string(16300, 't'))));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(hive->SetValue(two, "Part" + std::to_string(i), 3, std::string(16000, 'p')));
    EXPECT_FALSE(hive->SetValue(two, "Part3", 3, std::string(16000, 'p')))
        << "one key's values fill a block";
    EXPECT_EQ(nullptr, hive->FindValue(two, "Part3"));
}

// Each malformed file is refused with one line saying what is wrong.
TEST(Hive9x, MalformedFilesAreRefused)
{
    const std::string file = SmallFile();
    // Entries: root, One, Two, Child; the one data block holds One, Two, Child.
    const std::size_t tree = 0x20;
    auto entry = [](int index) { return 0x40 + 28 * static_cast<std::size_t>(index); };
    const std::size_t block = Get32(file, 8);
    const std::size_t firstRecord = block + 0x20;
    struct Case
    {
        const char* what;
        std::function<void(std::string&)> spoil;
    };
    const Case cases[] = {
        {"no CREG signature", [](std::string& f) { f[1] = 'X'; }},
        {"truncated file", [](std::string& f) { f.resize(0x30); }},
        {"truncated file", [](std::string& f) { f.resize(f.size() - 16); }},
        {"data after the last data block", [](std::string& f) { f += std::string(16, '\0'); }},
        {"bad offset of the root key", [&](std::string& f) { Put32(f, tree + 8, 0x21); }},
        {"points outside the key entries",
         [&](std::string& f) { Put32(f, entry(1) + 0x10, 0x7FFFFFF0); }},
        {"cycle or join", [&](std::string& f) { Put32(f, entry(3) + 0x10, 0x20 + 28); }},
        {"cycle or join", [&](std::string& f) { Put32(f, entry(2) + 0x14, 0x20 + 28); }},
        {"parent link", [&](std::string& f) { Put32(f, entry(3) + 0x0C, 0x20 + 56); }},
        {"hash does not match",
         [&](std::string& f) { Put32(f, entry(2) + 4, Get32(f, entry(2) + 4) + 1); }},
        {"data record is missing", [&](std::string& f) { Put16(f, entry(2) + 0x18, 0x55); }},
        {"share one data record",
         [&](std::string& f) { Put32(f, entry(2) + 0x18, Get32(f, entry(1) + 0x18)); }},
        {"longer than 65536", [&](std::string& f) { Put32(f, block + 4, 0x11000); }},
        {"runs past its end",
         [&](std::string& f) { Put32(f, block + 4, Get32(f, block + 4) + 0x1000); }},
        {"bad data record length", [&](std::string& f) { Put32(f, firstRecord, 0x13); }},
        {"key name longer than 255", [&](std::string& f) { Put16(f, firstRecord + 0x0C, 256); }},
        {"value data longer than 16300",
         [&](std::string& f) { Put16(f, firstRecord + 0x14 + 3 + 0x0A, 16301); }},
        {"not whole 4096-byte pages", [&](std::string& f) { Put32(f, tree + 4, 0x2010); }},
        {"not marked free", [&](std::string& f) { Put32(f, tree + Get32(f, tree + 0x0C), 0); }},
        {"free key entry link points outside", [&](std::string& f) { Put32(f, tree + 0x0C, 4); }},
        {"neither in use nor free", [&](std::string& f) { Put32(f, tree + 0x0C, 0xFFFFFFFF); }},
        {"data block's index", [&](std::string& f) { Put16(f, block + 0x0E, 1); }},
        {"bad data block size", [&](std::string& f) { Put32(f, block + 4, 0x1800); }},
        {"unused size differs",
         [&](std::string& f) { Put32(f, block + 8, Get32(f, block + 8) + 1); }},
        {"points at no free record", [&](std::string& f) { Put32(f, block + 0x10, 0x20); }},
        {"left out of the block's chain",
         [&](std::string& f) { Put32(f, block + 0x10, 0xFFFFFFFF); }},
        {"max_id is below", [&](std::string& f) { Put16(f, block + 0x14, 1); }},
        {"first_free_id", [&](std::string& f) { Put16(f, block + 0x16, 0); }},
        {"numbered above 254", [&](std::string& f) { Put16(f, firstRecord + 4, 0xFF); }},
        {"two subkeys with the same name",
         [&](std::string& f)
         {
             const std::size_t second = firstRecord + Get32(f, firstRecord);
             f.replace(second + 0x14, 3, "One");
             Put32(f, entry(2) + 4, Get32(f, entry(1) + 4));
         }},
    };
    for (const Case& c : cases)
    {
        std::string spoiled = file;
        c.spoil(spoiled);
        win95::Fault error;
        EXPECT_EQ(nullptr, Hive9x::Read(spoiled, error)) << c.what;
        EXPECT_NE(std::string::npos, error.what.find(c.what))
            << "expected \"" << c.what << "\", got \"" << error.what << "\"";
        EXPECT_EQ(std::string::npos, error.what.find('\n'));
    }
    // Header words that differ from what Windows writes are named, but
    // the file can still be changed safely.
    std::string odd = file;
    Put16(odd, 0x12, 0);
    const std::vector<win95::Hive9xFinding> problems = Hive9x::Check(odd);
    ASSERT_EQ(1u, problems.size());
    EXPECT_TRUE(problems[0].unusual);
    EXPECT_NE(nullptr, Read(odd));
    EXPECT_TRUE(Hive9x::Check(file).empty());
}

// Where new keys go, seen in the fields Windows' allocator reads: a block
// fills up to 255 records, the key tree grows a page at a time, and a
// deleted key's entry, record and number are the next ones taken.
TEST(Hive9x, AllocationKeepsTheCountersWindowsReads)
{
    std::unique_ptr<Hive9x> hive = Hive9x::Empty();
    for (int i = 0; i < 300; ++i)
        hive->SetValue(hive->Create(hive->Root(), "key" + std::to_string(1000 + i)), "", 4, "1234");
    std::string file = Bytes(*hive);
    EXPECT_TRUE(Hive9x::Check(file).empty());
    EXPECT_EQ(0x3000u, Get32(file, 0x24)) << "301 entries need a third page of the tree";
    EXPECT_EQ(0x20u, Get32(file, 0x20 + 0x2000 + 0x0C))
        << "a key's entry at the third page's start";
    EXPECT_EQ(2u, Get16(file, 0x10));
    const std::size_t block = Get32(file, 8);
    EXPECT_EQ(0xFEu, Get16(file, block + 0x14));
    EXPECT_EQ(0xFFu, Get16(file, block + 0x16)) << "255 records fill a block";
    const std::uint32_t unused = Get32(file, block + 8);
    const std::uint32_t firstFree = Get32(file, block + 0x10);
    const std::size_t record = block + 0x20 + 10 * 43;
    ASSERT_EQ(43u, Get32(file, record)) << "each record: header, name, one value";
    ASSERT_EQ(10u, Get16(file, record + 4));

    hive = Read(file);
    ASSERT_NE(nullptr, hive);
    hive->Delete(hive->Find(hive->Root(), "key1010"));
    file = Bytes(*hive);
    EXPECT_TRUE(Hive9x::Check(file).empty());
    const std::uint32_t entry = 0x20 + 11 * 0x1C;
    EXPECT_EQ(entry, Get32(file, 0x20 + 0x0C)) << "the freed entry heads the tree's free runs";
    EXPECT_EQ(unused + 43, Get32(file, block + 8)) << "unused size";
    EXPECT_EQ(record - block, Get32(file, block + 0x10)) << "first free record";
    EXPECT_EQ(10u, Get16(file, block + 0x16)) << "first_free_id";
    EXPECT_EQ(0xFEu, Get16(file, block + 0x14)) << "max_id stays";

    hive = Read(file);
    ASSERT_NE(nullptr, hive);
    hive->SetValue(hive->Create(hive->Root(), "key2000"), "", 4, "5678");
    file = Bytes(*hive);
    EXPECT_TRUE(Hive9x::Check(file).empty());
    EXPECT_EQ(10u, Get16(file, record + 4)) << "the new key takes the freed number and room";
    EXPECT_EQ(unused, Get32(file, block + 8));
    EXPECT_EQ(firstFree, Get32(file, block + 0x10));
    EXPECT_EQ(0xFFu, Get16(file, block + 0x16));
    EXPECT_EQ(10u, Get16(file, 0x20 + entry + 0x18)) << "and the freed entry";
}

std::string UserDat()
{
    return support::Fixture("win9x/USER.DAT");
}

std::string Problems(const std::string& file)
{
    std::string text;
    for (const win95::Hive9xFinding& problem : Hive9x::Check(file))
        text += problem.fault.where + ": " + problem.fault.what + "\n";
    return text;
}

// What an install does to a registry file: a few keys with values, one
// existing key's value grown past its record, one shrunk.
void Install(Hive9x& hive)
{
    const Key printer = hive.Create(hive.Root(), ".DEFAULT\\Software\\KORVELD\\Tavrine\\Printer");
    hive.SetValue(printer, "Port", 1, sz("LPT1:"));
    hive.SetValue(printer, "Attributes", 4, std::string(4, '\0'));
    hive.SetValue(hive.Create(printer, "PrinterDriverData"), "Data", 3, std::string(600, 'd'));
    hive.SetValue(At(hive, ".DEFAULT\\keyboard layout\\preload\\1"), "Grown", 3,
                  std::string(3000, 'g'));
    hive.SetValue(At(hive, ".DEFAULT\\keyboard layout\\preload\\1"), "", 1, sz("9"));
}

void Remove(Hive9x& hive)
{
    hive.Delete(At(hive, ".DEFAULT\\Software\\KORVELD"));
    hive.DeleteValue(At(hive, ".DEFAULT\\keyboard layout\\preload\\1"), "Grown");
}

// A file as Windows Me wrote it reads whole, is found sound, and is
// written back unchanged when nothing changed.
TEST(Hive9xRealFile, ReadsAsWindowsWroteItAndComesBackUnchanged)
{
    const std::string file = UserDat();
    ASSERT_EQ(159776u, file.size());
    EXPECT_EQ("", Problems(file));
    std::unique_ptr<Hive9x> hive = Read(file);
    ASSERT_NE(nullptr, hive);
    std::size_t keys = 0;
    std::size_t values = 0;
    std::function<void(Key)> count = [&](Key key)
    {
        ++keys;
        values += hive->Values(key).size();
        for (Key child = hive->FirstChild(key); child != Hive9x::NoKey;
             child = hive->NextSibling(child))
            count(child);
    };
    count(hive->Root());
    EXPECT_EQ(788u, keys);
    EXPECT_EQ(1518u, values);
    EXPECT_TRUE(file == Bytes(*hive));
}

// Changes to the real file keep every rule Windows' allocator relies on,
// and read back as they were made.
TEST(Hive9xRealFile, ChangesKeepEveryPieceOfBookkeeping)
{
    std::unique_ptr<Hive9x> hive = Read(UserDat());
    ASSERT_NE(nullptr, hive);
    Install(*hive);
    hive->Delete(At(*hive, ".DEFAULT\\Control Panel"));
    const std::string expected = Dump(*hive);
    const std::string file = Bytes(*hive);
    EXPECT_EQ("", Problems(file));
    std::unique_ptr<Hive9x> read = Read(file);
    ASSERT_NE(nullptr, read);
    EXPECT_EQ(expected, Dump(*read));
}

// A hundred installs and removals reuse the room the first one freed.
TEST(Hive9xRealFile, RepeatedInstallsAndRemovalsReuseTheirRoom)
{
    std::string file = UserDat();
    std::size_t afterFirst = 0;
    for (int cycle = 0; cycle < 100; ++cycle)
    {
        std::unique_ptr<Hive9x> hive = Read(file);
        ASSERT_NE(nullptr, hive);
        Install(*hive);
        file = Bytes(*hive);
        hive = Read(file);
        ASSERT_NE(nullptr, hive);
        Remove(*hive);
        file = Bytes(*hive);
        if (cycle == 0)
            afterFirst = file.size();
    }
    EXPECT_EQ("", Problems(file));
    EXPECT_LE(file.size(), afterFirst + 2 * 0x1000);
}

} // namespace
