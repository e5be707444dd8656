// The REGEDIT4 reader and writer (byte-for-byte round trips, changes that
// touch only their own sections, malformed images, canonical value lines)
// and the key tree behind the registry calls.
#include "platform/posix/api/registry.h"
#include "platform/posix/storage/regedit4/storage.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace
{

using win95::Image;
using win95::KeyId;
using win95::NoKey;

// Bytes of a literal, zero bytes inside it included.
template <std::size_t N> std::string B(const char (&bytes)[N])
{
    return std::string(bytes, N - 1);
}

win95::ImagePtr Read(const std::string& text)
{
    win95::Fault error;
    win95::ImagePtr image = win95::ReadImage(text, error);
    EXPECT_NE(image, nullptr) << "line " << error.where << ": " << error.what;
    return image;
}

std::string Repeated(const std::string& text, int times)
{
    std::string repeated;
    for (int i = 0; i < times; ++i)
        repeated += text;
    return repeated;
}

std::string Written(const Image& image)
{
    std::string text;
    EXPECT_TRUE(image.Write(
        [&text](const char* data, std::size_t size)
        {
            text.append(data, size);
            return true;
        }));
    return text;
}

// The key at a path below HKEY_LOCAL_MACHINE, or NoKey.
KeyId KeyAt(Image& image, const std::string& path)
{
    KeyId key = image.LocalMachine();
    for (std::size_t from = 0; key != NoKey && from <= path.size();)
    {
        std::size_t stop = std::min(path.find('\\', from), path.size());
        key = image.Find(key, path.substr(from, stop - from));
        from = stop + 1;
    }
    return key;
}

std::string Data(Image& image, const std::string& path, const std::string& name)
{
    KeyId key = KeyAt(image, path);
    const win95::Value* value = key != NoKey ? image.FindValue(key, name) : nullptr;
    return value != nullptr ? value->data : "(none)";
}

void SetText(Image& image, KeyId key, const std::string& name, const std::string& text)
{
    image.SetValue(key, name, REG_SZ, std::string_view(text.c_str(), text.size() + 1));
}

TEST(ImageFile, OddImageIsWrittenBackByteForByte)
{
    std::string text = support::Fixture("odd.reg");
    win95::ImagePtr image = Read(text);
    ASSERT_NE(image, nullptr);
    KeyId odd = KeyAt(*image, "Software\\Odd");
    ASSERT_NE(odd, NoKey);
    image->FindValue(odd, "Plain");
    image->SetValue(odd, "Number", REG_DWORD, B("\x1f\xa0\0\0"));
    EXPECT_FALSE(image->Changed());
    EXPECT_EQ(Written(*image), text);
}

TEST(ImageFile, OddImageValuesReadAsTheyAreWritten)
{
    struct Expected
    {
        const char* key;
        const char* name;
        DWORD type;
        std::string data;
    };
    std::string blob;
    for (int copy = 0; copy < 8; ++copy)
        for (int byte = 0; byte < 256; ++byte)
            blob += static_cast<char>(byte);
    const Expected expected[] = {
        {"Software\\Odd", "", REG_SZ, B("default text\0")},
        {"Software\\Odd", "Plain", REG_SZ, B("text with \"quotes\" and \\backslashes\\\0")},
        {"Software\\Odd", "Empty", REG_SZ, B("\0")},
        {"Software\\Odd", "NoZero", REG_SZ, "abc"},
        {"Software\\Odd", "Embedded", REG_SZ, B("a\0b\0")},
        {"Software\\Odd", "Lines", REG_SZ, B("a\r\nb\0")},
        {"Software\\Odd", "ZeroLength", REG_SZ, ""},
        {"Software\\Odd", "Number", REG_DWORD, B("\x1f\xa0\0\0")},
        {"Software\\Odd", "Short", REG_DWORD, B("\x07\0\0\0")},
        {"Software\\Odd", "Three", REG_DWORD, "\x01\x02\x03"},
        {"Software\\Odd", "Binary", REG_BINARY, "\xde\xad\xbe\xef"},
        {"Software\\Odd", "EmptyBinary", REG_BINARY, ""},
        {"Software\\Odd", "Expand", REG_EXPAND_SZ, B("%PATH%\0")},
        {"Software\\Odd", "Multi", REG_MULTI_SZ, B("a\0b\0\0")},
        {"Software\\Odd", "None", REG_NONE, ""},
        {"Software\\Odd", "Custom", 0x12345, "\xff"},
        {"Software\\Odd", "name \"WITH\" \\ quotes", REG_SZ, B("x\0")},
        {"Software\\Odd", "Hoch \xc4\xd6\xdc", REG_SZ,
         B("Gr\xfc\xdf"
           "e \xff\0")},
        {"Software\\Odd", "Indented", REG_SZ, B("odd spacing\0")},
        {"Software\\Odd", "Tabbed", REG_DWORD, B("\x01\0\0\0")},
        {"Software\\Odd", "Spread", REG_BINARY, "\x01\x02\x03\x04\x05"},
        {"Software\\Odd\\Key]With]Brackets", "in", REG_SZ, B("brackets\0")},
        {"Software\\Odd\\Big", "Blob", REG_BINARY, blob},
        {"Software\\Odd\\Unix", "lf", REG_SZ, B("only\0")},
        {"SOFTWARE\\CLASSES\\.odd", "", REG_SZ, B("oddfile\0")},
    };
    win95::ImagePtr image = Read(support::Fixture("odd.reg"));
    ASSERT_NE(image, nullptr);
    for (const Expected& value : expected)
    {
        SCOPED_TRACE(std::string(value.key) + " / " + value.name);
        KeyId key = KeyAt(*image, value.key);
        ASSERT_NE(key, NoKey);
        const win95::Value* found = image->FindValue(key, value.name);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->type, value.type);
        EXPECT_EQ(found->data, value.data);
    }
    KeyId odd = KeyAt(*image, "Software\\Odd");
    const char* subkeys[] = {"Key]With]Brackets", "Big", "Spaced", "H\xf6her \xff", "Unix"};
    for (std::uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(image->Name(image->Subkey(odd, i)), subkeys[i]);
    EXPECT_EQ(image->Subkey(odd, 5), NoKey);
    EXPECT_EQ(image->Subkey(image->LocalMachine(), 1), NoKey) << "HKEY_USERS is not reachable";
}

TEST(ImageFile, ChangedValuesRewriteOnlyTheirSection)
{
    std::string before = support::Fixture("odd.reg");
    win95::ImagePtr image = Read(before);
    ASSERT_NE(image, nullptr);
    KeyId spaced = KeyAt(*image, "Software\\Odd\\Spaced");
    image->SetValue(spaced, "B", REG_DWORD, B("\x07\0\0\0"));
    SetText(*image, spaced, "d", "4");
    EXPECT_TRUE(image->Changed());
    support::ExpectImageChange(before, Written(*image),
                               "[HKEY_LOCAL_MACHINE\\Software\\Odd\\Spaced]\r\n"
                               "  \"a\" = \"1\"\r\n"
                               "; keep me\r\n"
                               "\"b\"=dword:00000007\r\n"
                               "\"c\"=\"3\"\r\n"
                               "\"d\"=\"4\"\r\n"
                               "\r\n");
}

TEST(ImageFile, KeyInTwoSectionsHasTheValuesOfBoth)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A]\r\n"
                                 "\"x\"=\"1\"\r\n"
                                 "\"y\"=\"first\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\B]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\a]\r\n"
                                 "\"y\"=\"second\"\r\n"
                                 "\"z\"=\"3\"\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId a = KeyAt(*image, "A");
    EXPECT_EQ(Data(*image, "A", "x"), B("1\0"));
    EXPECT_EQ(Data(*image, "A", "y"), B("second\0"));
    EXPECT_EQ(image->Name(image->Subkey(image->LocalMachine(), 1)), "B");
    EXPECT_EQ(image->Subkey(image->LocalMachine(), 2), NoKey);
    SetText(*image, a, "x", "one");
    SetText(*image, a, "y", "two");
    SetText(*image, a, "w", "new");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A]\r\n"
                               "\"x\"=\"one\"\r\n"
                               "\"y\"=\"first\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\B]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\a]\r\n"
                               "\"y\"=\"two\"\r\n"
                               "\"z\"=\"3\"\r\n"
                               "\"w\"=\"new\"\r\n\r\n");
}

TEST(ImageFile, NewKeysGoAfterTheirParentsSubtree)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A\\One]\r\n"
                                 "\"v\"=\"1\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A\\One\\Deep]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\B]\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId two = image->Create(KeyAt(*image, "A"), "Two");
    SetText(*image, image->Create(two, "Sub"), "s", "x");
    image->Create(KeyAt(*image, "A\\One"), "New");
    image->Create(image->LocalMachine(), "C");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\One]\r\n"
                               "\"v\"=\"1\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\One\\Deep]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\One\\New]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\Two]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\Two\\Sub]\r\n"
                               "\"s\"=\"x\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\B]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\C]\r\n\r\n");
}

TEST(ImageFile, DeletedKeysGoWithTheirSubkeys)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A]\r\n"
                                 "\"keep\"=\"1\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A\\Gone]\r\n"
                                 "\"v\"=\"1\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A\\Gone\\Below]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\A\\Stay]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\Implied\\Only\\Child]\r\n"
                                 "\"c\"=\"1\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\Z]\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId a = KeyAt(*image, "A");
    KeyId gone = KeyAt(*image, "A\\Gone");
    KeyId below = KeyAt(*image, "A\\Gone\\Below");
    image->Delete(gone);
    image->Delete(KeyAt(*image, "Implied\\Only\\Child"));
    EXPECT_FALSE(image->Exists(gone));
    EXPECT_FALSE(image->Exists(below));
    EXPECT_EQ(image->Find(a, "gone"), NoKey);
    KeyId again = image->Create(a, "gone");
    EXPECT_NE(again, gone);
    EXPECT_EQ(image->Name(image->Subkey(a, 1)), "gone");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A]\r\n"
                               "\"keep\"=\"1\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\Stay]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\A\\gone]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Implied\\Only]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Z]\r\n\r\n");
}

TEST(ImageFile, ImpliedKeyGetsItsSectionWhereItFirstStood)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\First]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\Mid\\Leaf]\r\n"
                                 "\"l\"=\"1\"\r\n\r\n");
    ASSERT_NE(image, nullptr);
    SetText(*image, KeyAt(*image, "Mid"), "m", "2");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\First]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Mid]\r\n"
                               "\"m\"=\"2\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Mid\\Leaf]\r\n"
                               "\"l\"=\"1\"\r\n\r\n");
}

TEST(ImageFile, ClassesRootSectionsAreTheKeysUnderSoftwareClasses)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.a]\r\n"
                                 "@=\"a\"\r\n\r\n"
                                 "[HKEY_CLASSES_ROOT\\.b]\r\n"
                                 "@=\"b\"\r\n\r\n"
                                 "[HKEY_LOCAL_MACHINE\\System]\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId classes = image->ClassesRoot();
    EXPECT_EQ(classes, KeyAt(*image, "Software\\Classes"));
    EXPECT_EQ(image->Name(image->Subkey(classes, 0)), ".a");
    EXPECT_EQ(image->Name(image->Subkey(classes, 1)), ".b");
    SetText(*image, image->Find(classes, ".B"), "", "bee");
    image->Create(classes, ".c");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.a]\r\n"
                               "@=\"a\"\r\n\r\n"
                               "[HKEY_CLASSES_ROOT\\.b]\r\n"
                               "@=\"bee\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.c]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\System]\r\n\r\n");
}

TEST(ImageFile, NewLinesEndInCrLfEvenAfterALastLineWithoutEnd)
{
    win95::ImagePtr image = Read("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"");
    ASSERT_NE(image, nullptr);
    SetText(*image, KeyAt(*image, "A"), "b", "2");
    EXPECT_EQ(Written(*image),
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"1\"\r\n\"b\"=\"2\"\r\n");
    image = Read("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r");
    ASSERT_NE(image, nullptr);
    SetText(*image, KeyAt(*image, "A"), "b", "2");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"b\"=\"2\"\r\n");
}

TEST(ImageFile, RootsMadeOnlyToBeReachedAreNotWritten)
{
    win95::ImagePtr image = Read("REGEDIT4\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId classes = image->ClassesRoot();
    EXPECT_EQ(image->Subkey(classes, 0), NoKey);
    EXPECT_FALSE(image->Changed());
    image->Create(image->LocalMachine(), "New");
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\New]\r\n\r\n");
}

TEST(ImageFile, WriteStopsWhenTheOutputFails)
{
    win95::ImagePtr image = Read(support::Fixture("odd.reg"));
    ASSERT_NE(image, nullptr);
    image->Create(image->LocalMachine(), "New");
    int calls = 0;
    EXPECT_FALSE(image->Write(
        [&calls](const char*, std::size_t)
        {
            ++calls;
            return false;
        }));
    EXPECT_EQ(calls, 1);
}

TEST(ImageFile, MalformedImagesAreRejectedWithTheLine)
{
    struct Malformed
    {
        const char* what;
        std::string text;
        std::size_t line;
    };
    const std::string k = "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n";
    const Malformed cases[] = {
        {"not a REGEDIT4 image", "", 1},
        {"not a REGEDIT4 image", "Windows Registry Editor Version 5.00\r\n", 1},
        {"key line without ']'", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A\r\n", 3},
        {"junk after the key line", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A] x\r\n", 2},
        {"empty key path", "REGEDIT4\r\n[]\r\n", 2},
        {"empty key name", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\\\A]\r\n", 2},
        {"unknown root key", "REGEDIT4\r\n[HKEY_ELSEWHERE\\A]\r\n", 2},
        {"value before the first key", "REGEDIT4\r\n\"a\"=\"1\"\r\n", 2},
        {"expected a key, a value or a comment", k + "junk\r\n", 3},
        {"unterminated string", k + "\"a\"=\"1\r\n", 3},
        {"bad escape in string", k + "\"a\"=\"C:\\WINDOWS\"\r\n", 3},
        {"missing '=' after the value name", k + "\"a\" \"1\"\r\n", 3},
        {"missing value data", k + "\"a\"=\r\n", 3},
        {"junk after the value", k + "\"a\"=\"1\" x\r\n", 3},
        {"bad dword value", k + "\"a\"=dword:123456789\r\n", 3},
        {"bad dword value", k + "\"a\"=dword:12x\r\n", 3},
        {"bad hex byte", k + "\"a\"=hex:0g\r\n", 3},
        {"hex data ends with a comma", k + "\"a\"=hex:01,\r\n", 3},
        {"missing ',' between hex bytes", k + "\"a\"=hex:01 02\r\n", 3},
        {"bad value type", k + "\"a\"=hex(x):01\r\n", 3},
        {"unknown kind of value data", k + "\"a\"=str:1\r\n", 3},
        {"'\\' on the last line", k + "\"a\"=hex:01,\\\r\n", 3},
        {"empty continuation line", k + "\"a\"=hex:01,\\\r\n\r\n[HKEY_LOCAL_MACHINE\\B]\r\n", 4},
        {"missing ',' before '\\'", k + "\"a\"=hex:01\\\r\n  02\r\n", 3},
        {"junk after '\\'", k + "\"a\"=hex:01,\\ x\r\n  02\r\n", 3},
        {"bad hex byte", k + "\"a\"=hex:01,\\\r\n  02,\\\r\n  zz\r\n", 5},
        {"NUL byte", k + "\n\"a\"=\"x" + std::string(1, '\0') + "y\"\r\n", 4},
        // Faults behind good escapes, and deep in long hex data, which the
        // reader passes over many bytes at a time.
        {"bad escape in string", k + "\"a\"=\"C:\\\\W\\\"D\\q\"\r\n", 3},
        {"missing '=' after the value name", k + "\"a\\\"=\"1\"\r\n", 3},
        {"bad hex byte",
         k + "\"a\"=hex:" + Repeated("01,", 20) + "0g," + Repeated("02,", 9) + "03\r\n", 3},
        {"bad hex byte",
         k + "\"a\"=hex:" + Repeated("Ab,", 7) +
             "\xb0"
             "1," +
             Repeated("02,", 9) + "03\r\n",
         3},
        {"missing ',' between hex bytes",
         k + "\"a\"=hex:" + Repeated("fF,", 9) + "0102," + Repeated("03,", 9) + "04\r\n", 3},
    };
    for (const Malformed& malformed : cases)
    {
        SCOPED_TRACE(malformed.text);
        win95::Fault error;
        EXPECT_EQ(win95::ReadImage(malformed.text, error), nullptr);
        EXPECT_EQ(error.where, std::to_string(malformed.line));
        EXPECT_EQ(error.what, malformed.what);
    }
}

TEST(ImageFile, ValuesAreWrittenInCanonicalForm)
{
    struct Canonical
    {
        const char* name;
        DWORD type;
        std::string data;
        std::string line;
    };
    const Canonical cases[] = {
        {"Text", REG_SZ, B("plain\0"), "\"Text\"=\"plain\""},
        {"", REG_SZ, B("default\0"), "@=\"default\""},
        {"Q\"B\\", REG_SZ, B("say \"hi\" C:\\\0"), "\"Q\\\"B\\\\\"=\"say \\\"hi\\\" C:\\\\\""},
        {"Empty", REG_SZ, B("\0"), "\"Empty\"=\"\""},
        {"High\xe9", REG_SZ, B("\xe4\xff\0"), "\"High\xe9\"=\"\xe4\xff\""},
        {"NoZero", REG_SZ, "ab", "\"NoZero\"=hex(1):61,62"},
        {"TwoZeros", REG_SZ, B("a\0\0"), "\"TwoZeros\"=hex(1):61,00,00"},
        {"Inner", REG_SZ, B("a\0b\0"), "\"Inner\"=hex(1):61,00,62,00"},
        {"CR", REG_SZ, B("a\rb\0"), "\"CR\"=hex(1):61,0d,62,00"},
        {"LF", REG_SZ, B("a\nb\0"), "\"LF\"=hex(1):61,0a,62,00"},
        {"Nothing", REG_SZ, "", "\"Nothing\"=hex(1):"},
        {"Number", REG_DWORD, "\x78\x56\x34\x12", "\"Number\"=dword:12345678"},
        {"Two", REG_DWORD, "\x01\x02", "\"Two\"=hex(4):01,02"},
        {"Bin", REG_BINARY, B("\0\xff\x10"), "\"Bin\"=hex:00,ff,10"},
        {"Exp", REG_EXPAND_SZ, B("%a%\0"), "\"Exp\"=hex(2):25,61,25,00"},
        {"Multi", REG_MULTI_SZ, B("a\0\0"), "\"Multi\"=hex(7):61,00,00"},
        {"None", REG_NONE, "", "\"None\"=hex(0):"},
        {"Big type", 0xABCDEF12, "\x01", "\"Big type\"=hex(abcdef12):01"},
        {"Long", REG_BINARY,
         B("\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
           "\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b\x1c\x1d\x1e\x1f"
           "\x20\x21\x22\x23\x24\x25\x26\x27\x28\x29\x2a\x2b\x2c\x2d\x2e\x2f"
           "\x30\x31\x32\x33\x34\x35\x36\x37\x38\x39\x3a\x3b"),
         "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
         "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,\\\r\n"
         "  2f,30,31,32,33,34,35,36,37,38,39,3a,3b"},
        {"Dependent Files", REG_BINARY,
         B("\0\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13"),
         "\"Dependent Files\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,\\\r\n"
         "  13"},
    };
    const std::string image = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T]\r\n\r\n";
    for (const Canonical& value : cases)
    {
        SCOPED_TRACE(value.line);
        win95::ImagePtr before = Read(image);
        ASSERT_NE(before, nullptr);
        before->SetValue(KeyAt(*before, "T"), value.name, value.type, value.data);
        std::string text = Written(*before);
        EXPECT_EQ(text, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T]\r\n" + value.line + "\r\n\r\n");
        win95::ImagePtr after = Read(text);
        ASSERT_NE(after, nullptr);
        const win95::Value* read = after->FindValue(KeyAt(*after, "T"), value.name);
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(read->type, value.type);
        EXPECT_EQ(read->data, value.data);
    }
}

std::string Names(Image& image, KeyId key)
{
    std::string names;
    for (std::uint32_t i = 0; image.Subkey(key, i) != NoKey; ++i)
        names += std::string(image.Name(image.Subkey(key, i))) + ";";
    return names;
}

// Every key below `key` with its values, in enumeration order.
std::string Dump(Image& image, KeyId key, const std::string& path = "")
{
    std::string dump;
    for (std::uint32_t i = 0; image.Subkey(key, i) != NoKey; ++i)
    {
        KeyId child = image.Subkey(key, i);
        std::string below = path + "\\" + std::string(image.Name(child));
        dump += below + "\n";
        for (const char* name : {"", "v", "w"})
            if (const win95::Value* value = image.FindValue(child, name))
                dump += "  " + value->name + "=" + std::to_string(value->type) + ":" + value->data +
                        "\n";
        dump += Dump(image, child, below);
    }
    return dump;
}

const char tree[] = "REGEDIT4\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\P]\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\P\\Zeta]\r\n"
                    "\"Value\"=\"z\"\r\n"
                    "\"v\"=\"first\"\r\n"
                    "\"V\"=\"last\"\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\P\\alpha\\x]\r\n\r\n"
                    "[HKEY_LOCAL_MACHINE\\P\\Mid]\r\n\r\n";

TEST(KeyTree, NamesMatchWithoutRegardToCaseAndKeepTheirCase)
{
    win95::ImagePtr image = Read(tree);
    ASSERT_NE(image, nullptr);
    KeyId p = image->Find(image->LocalMachine(), "p");
    ASSERT_NE(p, NoKey);
    KeyId zeta = image->Find(p, "ZETA");
    EXPECT_EQ(image->Find(p, "zeta"), zeta);
    EXPECT_EQ(image->Name(zeta), "Zeta");
    EXPECT_EQ(image->Create(p, "zEtA"), zeta);
    EXPECT_EQ(image->FindValue(zeta, "VALUE")->name, "Value");
    EXPECT_EQ(image->FindValue(zeta, "v")->data, std::string("last", 5)) << "a later line wins";
    EXPECT_EQ(image->Find(p, "Zet"), NoKey);
    EXPECT_FALSE(image->Changed());
}

TEST(KeyTree, SettingAValueKeepsItsNameAndLine)
{
    win95::ImagePtr image = Read(tree);
    ASSERT_NE(image, nullptr);
    KeyId zeta = image->Find(image->Find(image->LocalMachine(), "P"), "Zeta");
    image->SetValue(zeta, "VALUE", REG_SZ, std::string("z", 2));
    EXPECT_FALSE(image->Changed()) << "the same type and bytes change nothing";
    image->SetValue(zeta, "VALUE", REG_BINARY, std::string("z", 2));
    image->SetValue(zeta, "v", REG_SZ, std::string("new", 4));
    EXPECT_TRUE(image->Changed());
    EXPECT_EQ(Written(*image), "REGEDIT4\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\P]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\P\\Zeta]\r\n"
                               "\"Value\"=hex:7a,00\r\n"
                               "\"v\"=\"first\"\r\n"
                               "\"V\"=\"new\"\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\P\\alpha\\x]\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\P\\Mid]\r\n\r\n");
}

TEST(KeyTree, SubkeysEnumerateInImageOrder)
{
    win95::ImagePtr image = Read(tree);
    ASSERT_NE(image, nullptr);
    KeyId p = image->Find(image->LocalMachine(), "P");
    EXPECT_EQ(Names(*image, p), "Zeta;alpha;Mid;");
    EXPECT_EQ(image->Subkey(p, 7), NoKey);
    EXPECT_EQ(image->Name(image->Subkey(p, 1)), "alpha") << "looked up again after the end";
    image->Create(p, "New");
    EXPECT_EQ(Names(*image, p), "Zeta;alpha;Mid;New;");
    EXPECT_EQ(image->Name(image->Subkey(p, 1)), "alpha");
    image->Delete(image->Find(p, "alpha"));
    EXPECT_EQ(image->Name(image->Subkey(p, 1)), "Mid") << "after a deletion";
    image->Delete(image->Find(p, "Zeta"));
    image->Delete(image->Find(p, "New"));
    EXPECT_EQ(Names(*image, p), "Mid;");
    image->Create(p, "Zeta");
    EXPECT_EQ(Names(*image, p), "Mid;Zeta;");
}

TEST(KeyTree, DeletedKeysAndThoseBelowAreGone)
{
    win95::ImagePtr image = Read(tree);
    ASSERT_NE(image, nullptr);
    KeyId p = image->Find(image->LocalMachine(), "P");
    KeyId alpha = image->Find(p, "alpha");
    KeyId x = image->Find(alpha, "x");
    KeyId made = image->Create(x, "Made");
    image->Delete(alpha);
    EXPECT_TRUE(image->Changed());
    EXPECT_FALSE(image->Exists(alpha));
    EXPECT_FALSE(image->Exists(x));
    EXPECT_FALSE(image->Exists(made));
    EXPECT_TRUE(image->Exists(p));
    EXPECT_EQ(image->Find(p, "alpha"), NoKey);
    KeyId again = image->Create(p, "ALPHA");
    EXPECT_TRUE(image->Exists(again));
    EXPECT_EQ(image->Find(again, "x"), NoKey);
    EXPECT_FALSE(image->Exists(alpha));
}

// Whatever a run did, the image it writes reads back as the same tree, in
// the same order.
TEST(KeyTree, WrittenImageReadsBackAsTheSameTree)
{
    win95::ImagePtr image = Read(std::string(tree) + "[HKEY_CLASSES_ROOT\\.c\\deep\\er]\r\n\r\n"
                                                     "[HKEY_LOCAL_MACHINE\\Q\\only\\implied]\r\n"
                                                     "\"v\"=dword:00000001\r\n\r\n"
                                                     "[HKEY_LOCAL_MACHINE\\P\\Mid\\Child]\r\n\r\n"
                                                     "[HKEY_USERS\\.Default]\r\n\r\n");
    ASSERT_NE(image, nullptr);
    KeyId machine = image->LocalMachine();
    KeyId p = image->Find(machine, "P");
    KeyId q = image->Find(machine, "Q");
    KeyId classes = image->ClassesRoot();
    image->SetValue(image->Find(q, "only"), "w", REG_BINARY, "\x01\x02");
    image->Delete(image->Find(image->Find(q, "only"), "implied"));
    image->Delete(image->Find(p, "alpha"));
    KeyId n = image->Create(image->Create(p, "N"), "Below");
    image->SetValue(n, "", REG_SZ, std::string("default", 8));
    image->Create(image->Find(classes, ".c"), "sibling");
    image->Create(classes, ".d");
    image->Create(image->Find(p, "Mid"), "Child2");
    std::string expected = Dump(*image, machine);

    std::string text = Written(*image);
    win95::ImagePtr again = Read(text);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Dump(*again, again->LocalMachine()), expected) << text;
    EXPECT_EQ(Written(*again), text);
}

// Changes every key of an image, deletes some, and adds a few.
void ChangeAll(Image& image, KeyId key, std::mt19937& random)
{
    for (std::uint32_t i = 0; image.Subkey(key, i) != NoKey; ++i)
    {
        KeyId child = image.Subkey(key, i);
        image.SetValue(child, random() % 2 ? "v" : "", REG_SZ, std::string("new", 4));
        if (random() % 4 == 0)
            image.Create(child, "made");
        ChangeAll(image, child, random);
        if (random() % 8 == 0)
            image.Delete(child);
    }
}

// Images a hand might have spoilt: each one is rejected, or the image the
// run writes from it reads back as the tree the run left.
TEST(KeyTree, SpoiltImagesAreRejectedOrReadBackAsLeft)
{
    const std::string odd = support::Fixture("odd.reg");
    const char bytes[] = "[]\\\"=@,;: \t\r\nhexdword(7)0aF";
    std::mt19937 random(1995);
    int accepted = 0;
    for (int round = 0; round < 3000; ++round)
    {
        std::string text = odd;
        int edits = 1 + static_cast<int>(random() % 2);
        for (int edit = 0; edit < edits; ++edit)
        {
            std::size_t at = random() % text.size();
            char byte = bytes[random() % (sizeof bytes - 1)];
            switch (random() % 3)
            {
            case 0:
                text.insert(at, 1, byte);
                break;
            case 1:
                text[at] = byte;
                break;
            default:
                text.erase(at, 1);
            }
        }
        win95::Fault error;
        win95::ImagePtr image = win95::ReadImage(text, error);
        if (image == nullptr)
            continue;
        ++accepted;
        ChangeAll(*image, image->LocalMachine(), random);
        std::string written = Written(*image);
        win95::ImagePtr again = win95::ReadImage(written, error);
        ASSERT_NE(again, nullptr) << error.where << ": " << error.what << "\n" << written;
        ASSERT_EQ(Dump(*again, again->LocalMachine()), Dump(*image, image->LocalMachine()))
            << written;
    }
    EXPECT_GT(accepted, 50);
}

} // namespace
