// The registry calls on the throw-away machine of the test process, for
// the parts where Windows behaves in ways easy to get wrong. Each test
// works below a key of its own.
#include "platform/posix/api/registry_internal.h"
#include "platform/posix/machine/machine.h"
#include "platform/registry.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

constexpr LONG keyDeleted = 1018; // ERROR_KEY_DELETED

HKEY Own(const std::string& test)
{
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\RegistryTest\\" + test).c_str(), &key),
              ERROR_SUCCESS);
    return key;
}

LONG SetText(HKEY key, LPCSTR name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

TEST(Registry, PathsIgnoreCaseAndStrayBackslashes)
{
    HKEY own = Own("Paths");
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyA(own, "One\\Two\\Three", &made), ERROR_SUCCESS);
    RegCloseKey(made);
    for (const char* path :
         {"one\\TWO\\three", "One\\Two\\Three\\", "\\One\\Two\\Three", "One\\\\Two\\Three\\\\"})
    {
        SCOPED_TRACE(path);
        HKEY opened = nullptr;
        EXPECT_EQ(RegOpenKeyA(own, path, &opened), ERROR_SUCCESS);
        EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
    }
    HKEY missing = own;
    EXPECT_EQ(RegOpenKeyA(own, "One\\Four", &missing), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(RegOpenKeyA(own, "One", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyA(own, "Line\nBreak", &made), ERROR_INVALID_PARAMETER);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(own, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "One");
    EXPECT_EQ(RegEnumKeyA(own, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(own, 0, name, 3), ERROR_MORE_DATA) << "no room for the zero byte";
    RegCloseKey(own);
}

// An empty subkey: RegOpenKeyA hands back the handle given, RegCreateKeyA a new one.
TEST(Registry, EmptySubkeyOpensTheSameKey)
{
    HKEY own = Own("SameKey");
    HKEY same = nullptr;
    HKEY created = nullptr;
    ASSERT_EQ(RegOpenKeyA(own, nullptr, &same), ERROR_SUCCESS);
    EXPECT_EQ(same, own);
    ASSERT_EQ(RegCreateKeyA(own, "", &created), ERROR_SUCCESS);
    EXPECT_NE(created, own);
    EXPECT_EQ(SetText(own, "v", "still open"), ERROR_SUCCESS);
    char text[16];
    DWORD size = sizeof text;
    EXPECT_EQ(
        RegQueryValueExA(created, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text, "still open");
    EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(created), ERROR_INVALID_HANDLE);
    RegCloseKey(own);
    EXPECT_EQ(RegOpenKeyA(own, "", &same), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyA(reinterpret_cast<HKEY>(0x1234), "x", &same), ERROR_INVALID_HANDLE);
}

TEST(Registry, ClassesRootIsSoftwareClasses)
{
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, "RegistryTest.Class", &made), ERROR_SUCCESS);
    RegCloseKey(made);
    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\classes\\registrytest.class", &opened),
              ERROR_SUCCESS);
    RegCloseKey(opened);
}

TEST(Registry, QueryReportsSizesAndLeavesSmallBuffersAlone)
{
    HKEY own = Own("Query");
    BYTE long256[256];
    std::memset(long256, 'a', sizeof long256);
    long256[10] = 0;
    ASSERT_EQ(RegSetValueExA(own, "Long", 0, REG_SZ, long256, sizeof long256), ERROR_SUCCESS);
    DWORD type = 99;
    DWORD size = 77;
    EXPECT_EQ(RegQueryValueExA(own, "Long", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 256u) << "the bytes as given, not the text";

    BYTE small[8];
    std::memset(small, 'x', sizeof small);
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(own, "Long", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(small[0], 'x');

    ASSERT_EQ(RegSetValueExA(own, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    BYTE text[8];
    std::memset(text, 'x', sizeof text);
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(own, "Bare", nullptr, nullptr, text, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), 5), std::string("abc\0x", 5))
        << "a zero byte added where there is room";

    type = 99;
    size = 5;
    EXPECT_EQ(RegQueryValueExA(own, "Absent", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, DWORD{REG_NONE});
    EXPECT_EQ(size, 0u);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(own, "Long", &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(own);
}

TEST(Registry, SetValueWritesTheDefaultTextOfAKey)
{
    HKEY own = Own("Default");
    ASSERT_EQ(RegSetValueA(own, "", REG_SZ, "text", 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(own, "Sub\\Key", REG_SZ, "below", 0), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueA(own, "", REG_BINARY, "text", 5), ERROR_INVALID_PARAMETER);
    char text[16];
    DWORD size = sizeof text;
    EXPECT_EQ(
        RegQueryValueExA(own, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(size, 5u) << "the length passed is ignored";
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyA(own, "sub\\key", &sub), ERROR_SUCCESS);
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(sub, "", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "below");
    RegCloseKey(sub);
    RegCloseKey(own);
}

TEST(Registry, DeletedTreeLeavesItsHandlesHarmless)
{
    HKEY own = Own("Delete");
    HKEY deep = nullptr;
    ASSERT_EQ(RegCreateKeyA(own, "Tree\\Deep", &deep), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(own, "Other", &deep), ERROR_SUCCESS);
    RegCloseKey(deep);
    ASSERT_EQ(RegCreateKeyA(own, "Tree\\Deep", &deep), ERROR_SUCCESS);
    EXPECT_EQ(win95::DeleteKeyTree(own, "TREE"), ERROR_SUCCESS);
    EXPECT_EQ(win95::DeleteKeyTree(own, "Tree"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SetText(deep, "v", "x"), keyDeleted);
    HKEY below = nullptr;
    EXPECT_EQ(RegCreateKeyA(deep, "More", &below), keyDeleted);
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(own, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Other");
    EXPECT_EQ(RegEnumKeyA(own, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(win95::DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(win95::DeleteKeyTree(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
    RegCloseKey(own);
}

// Walks start where recent walks led: a key deleted and made again is
// found anew, and creating a path just opened still creates its last name,
// which keeps a key made only to reach HKEY_CLASSES_ROOT.
TEST(Registry, WalksFollowDeletesAndCreates)
{
    win95::CommitMachine();
    std::string shared = std::getenv("WIN95PREFIX");
    std::string machine =
        support::MachineWithImage("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\System]\r\n\r\n");
    setenv("WIN95PREFIX", machine.c_str(), 1);

    const char path[] = "System\\Again\\Printer";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(win95::DeleteKeyTree(HKEY_LOCAL_MACHINE, "System\\Again"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    EXPECT_EQ(SetText(key, "v", "new"), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    char text[8] = "";
    DWORD size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "new");

    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes", &key), ERROR_SUCCESS);
    win95::CommitMachine();
    setenv("WIN95PREFIX", shared.c_str(), 1);
    std::string image = support::ImageOf(machine);
    EXPECT_NE(image.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]"), std::string::npos) << image;
    EXPECT_NE(image.find("[HKEY_LOCAL_MACHINE\\System\\Again\\Printer]\r\n\"v\"=\"new\""),
              std::string::npos)
        << image;
}

} // namespace
