// The registry behaviour the programs rely on, against the Windows API
// names: run natively on the emulated machine and, built for Windows, under
// Wine. Each test works below its own key, HKLM\SOFTWARE\Conformance\<test>.
#include "check.h"

#include "platform/registry.h"

#include <cstring>
#include <string>

namespace
{
HKEY TestKey(const char* name)
{
    HKEY key = nullptr;
    std::string path = std::string("SOFTWARE\\Conformance\\") + name;
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key));
    return key;
}

bool Opens(HKEY parent, const char* path)
{
    HKEY key;
    if (RegOpenKeyA(parent, path, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::string SubkeyNames(HKEY key)
{
    std::string names;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index)
        names += std::string(name) + ";";
    return names;
}

void SetText(HKEY key, const char* name, const char* text)
{
    CHECK_EQ(ERROR_SUCCESS,
             RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(std::strlen(text) + 1)));
}

struct Read
{
    LONG result;
    DWORD type;
    DWORD size;
    std::string bytes;
};

Read Query(HKEY key, const char* name, DWORD capacity)
{
    Read read = {0, 0xdead, capacity, std::string(capacity, '\x55')};
    BYTE* data = capacity == 0 ? nullptr : reinterpret_cast<BYTE*>(&read.bytes[0]);
    read.result = RegQueryValueExA(key, name, nullptr, &read.type, data, &read.size);
    if (read.result == ERROR_SUCCESS)
        read.bytes.resize(read.size);
    return read;
}
} // namespace

CONFORMANCE_TEST(NamesIgnoreLetterCaseAndKeepTheirOwn)
{
    HKEY base = TestKey("Case");
    HKEY key;
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(base, "MixedCase\\Inner", &key));
    RegCloseKey(key);
    CHECK(Opens(base, "MIXEDCASE\\inner"));
    CHECK(Opens(HKEY_LOCAL_MACHINE, "software\\CONFORMANCE\\case\\mixedcase"));
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(base, "mixedCASE", &key));
    SetText(key, "Value", "first");
    SetText(key, "VALUE", "second");
    CHECK_EQ("second", Query(key, "value", 64).bytes.c_str());
    RegCloseKey(key);
    CHECK_EQ("MixedCase;", SubkeyNames(base));
    RegCloseKey(base);
}

CONFORMANCE_TEST(TrailingBackslashNamesTheSameKey)
{
    HKEY base = TestKey("Trailing");
    HKEY key;
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(base, "Made\\", &key));
    RegCloseKey(key);
    CHECK_EQ("Made;", SubkeyNames(base));
    CHECK(Opens(base, "Made\\"));
    CHECK(Opens(HKEY_LOCAL_MACHINE, "SOFTWARE\\Conformance\\Trailing\\"));
    RegCloseKey(base);
}

CONFORMANCE_TEST(CreateKeyMakesEveryMissingLevel)
{
    HKEY base = TestKey("Levels");
    HKEY key;
    CHECK(!Opens(base, "One"));
    CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(base, "One\\Two\\Three", &key));
    RegCloseKey(key);
    CHECK(Opens(base, "One"));
    CHECK(Opens(base, "One\\Two"));
    CHECK(Opens(base, "One\\Two\\Three"));
    CHECK_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(base, "One\\Missing", &key));
    RegCloseKey(base);
}

CONFORMANCE_TEST(OpenKeyWithEmptySubkeyHandsBackTheSameHandle)
{
    HKEY base = TestKey("Empty");
    HKEY same = nullptr;
    CHECK_EQ(ERROR_SUCCESS, RegOpenKeyA(base, "", &same));
    CHECK(same == base);
    same = nullptr;
    CHECK_EQ(ERROR_SUCCESS, RegOpenKeyA(base, nullptr, &same));
    CHECK(same == base);
    SetText(same, "Through", "the same key");
    CHECK_EQ("the same key", Query(base, "Through", 64).bytes.c_str());

    HKEY root = nullptr;
    CHECK_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "", &root));
    CHECK(root == HKEY_LOCAL_MACHINE);
    RegCloseKey(base);
}

CONFORMANCE_TEST(EnumKeyEndsWithNoMoreItemsAndRefusesASmallBuffer)
{
    HKEY base = TestKey("Enum");
    HKEY key;
    for (const char* name : {"Short", "A Longer Name"})
    {
        CHECK_EQ(ERROR_SUCCESS, RegCreateKeyA(base, name, &key));
        RegCloseKey(key);
    }
    char name[64];
    CHECK_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(base, 2, name, sizeof name));
    CHECK_EQ(ERROR_NO_MORE_ITEMS, RegEnumKeyA(base, 7, name, sizeof name));

    DWORD longer = check::Windows95OrWine<DWORD>(
        1, 0, "Windows 95 enumerates subkeys in the order they were made, Wine sorted by name");
    // "A Longer Name" has 13 characters: it needs 14 bytes with its zero.
    CHECK_EQ(ERROR_MORE_DATA, RegEnumKeyA(base, longer, name, 13));
    CHECK_EQ(ERROR_SUCCESS, RegEnumKeyA(base, longer, name, 14));
    CHECK_EQ("A Longer Name", name);
    RegCloseKey(base);
}

CONFORMANCE_TEST(QueryValueWithSmallBufferGivesTheSizeNeeded)
{
    HKEY base = TestKey("Query");
    SetText(base, "Text", "Hello");
    const BYTE bytes[] = {1, 2, 3, 4, 5, 6, 7};
    CHECK_EQ(ERROR_SUCCESS, RegSetValueExA(base, "Bytes", 0, REG_BINARY, bytes, sizeof bytes));

    Read size = Query(base, "Text", 0);
    CHECK_EQ(ERROR_SUCCESS, size.result);
    CHECK_EQ(6, size.size);
    CHECK_EQ(REG_SZ, size.type);

    Read small = Query(base, "Text", 3);
    CHECK_EQ(ERROR_MORE_DATA, small.result);
    CHECK_EQ(6, small.size);

    Read exact = Query(base, "Text", 6);
    CHECK_EQ(ERROR_SUCCESS, exact.result);
    CHECK_EQ(std::string("Hello", 6), exact.bytes);

    Read smallBytes = Query(base, "Bytes", 6);
    CHECK_EQ(ERROR_MORE_DATA, smallBytes.result);
    CHECK_EQ(7, smallBytes.size);
    Read allBytes = Query(base, "Bytes", 7);
    CHECK_EQ(REG_BINARY, allBytes.type);
    CHECK_EQ(std::string(reinterpret_cast<const char*>(bytes), 7), allBytes.bytes);

    CHECK_EQ(ERROR_FILE_NOT_FOUND, Query(base, "Absent", 64).result);
    RegCloseKey(base);
}

CONFORMANCE_TEST(SetValueKeepsEveryByteOfALongText)
{
    HKEY base = TestKey("Exact");
    std::string port(256, '\0');
    port.replace(0, 11, "LPT2:\0BCDEF", 11);
    std::string everyByte;
    for (int c = 1; c < 256; ++c)
        everyByte += static_cast<char>(c);
    everyByte += '\0';
    for (const std::string& data : {port, everyByte})
    {
        CHECK_EQ(ERROR_SUCCESS, RegSetValueExA(base, "Port", 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>(data.data()), 256));
        Read read = Query(base, "Port", 300);
        CHECK_EQ(ERROR_SUCCESS, read.result);
        CHECK_EQ(REG_SZ, read.type);
        CHECK_EQ(256, read.size);
        CHECK_EQ(data, read.bytes);
    }
    RegCloseKey(base);
}

CONFORMANCE_TEST(SetValueWritesTheDefaultValue)
{
    HKEY base = TestKey("Default");
    const char text[] = "Tavrine Shell Extension";
    CHECK_EQ(ERROR_SUCCESS, RegSetValueA(base, "", REG_SZ, text, sizeof text - 1));
    Read read = Query(base, "", 64);
    CHECK_EQ(ERROR_SUCCESS, read.result);
    CHECK_EQ(REG_SZ, read.type);
    CHECK_EQ(std::string(text, sizeof text), read.bytes);

    // Wine and the emulation ignore the length given, as Windows NT documents.
    CHECK_EQ(ERROR_SUCCESS, RegSetValueA(base, "Made\\By Path", REG_SZ, "inner", 2));
    HKEY key;
    CHECK_EQ(ERROR_SUCCESS, RegOpenKeyA(base, "Made\\By Path", &key));
    CHECK_EQ(std::string("inner", 6), Query(key, "", 64).bytes);
    RegCloseKey(key);
    RegCloseKey(base);
}
