// The registry calls on a Windows 9x installation's SYSTEM.DAT: what
// Windows 9x cannot hold is refused with an error, and the rest is saved.
#include "platform/posix/machine/machine.h"
#include "platform/posix/storage/win9x/hive.h"
#include "platform/registry.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace
{

LONG SetBytes(HKEY key, const std::string& name, DWORD type, const std::string& data)
{
    return RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size()));
}

TEST(HiveStorage, RefusesWhatWindows9xCannotHoldAndSavesTheRest)
{
    std::string drive = support::TempDir();
    mkdir((drive + "/WINDOWS").c_str(), 0755);
    std::unique_ptr<win95::Hive9x> empty = win95::Hive9x::Empty();
    std::string bytes;
    empty->Write([&bytes](const char* data, std::size_t size)
                 { return bytes.append(data, size), true; });
    support::WriteFile(drive + "/WINDOWS/SYSTEM.DAT", bytes);
    win95::CommitMachine();
    std::string shared = std::getenv("WIN95PREFIX");
    setenv("WIN95PREFIX", drive.c_str(), 1);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Limits", &key));
    HKEY deep = nullptr;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegCreateKeyA(key, std::string(256, 'k').c_str(), &deep));
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyA(key, std::string(255, 'k').c_str(), &deep));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetBytes(key, std::string(256, 'n'), REG_SZ, "x"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetBytes(key, "big", REG_BINARY, std::string(16301, 'b')));
    // A text's zero byte is not stored, so 16,300 characters and the zero fit.
    EXPECT_EQ(ERROR_SUCCESS, SetBytes(key, "text", REG_SZ, std::string(16300, 't') + '\0'));
    EXPECT_EQ(ERROR_ACCESS_DENIED, SetBytes(HKEY_LOCAL_MACHINE, "root", REG_SZ, "x"));
    LONG status = ERROR_SUCCESS;
    int fitted = 0;
    while (status == ERROR_SUCCESS && fitted < 10)
        if ((status = SetBytes(key, "v" + std::to_string(fitted), REG_BINARY,
                               std::string(16300, 'v'))) == ERROR_SUCCESS)
            ++fitted;
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, status);
    EXPECT_EQ(3, fitted); // with "text", four values of 16,300 bytes fill the 64 KB block
    win95::CommitMachine();
    setenv("WIN95PREFIX", shared.c_str(), 1);

    win95::Fault error;
    std::unique_ptr<win95::Hive9x> saved =
        win95::Hive9x::Read(support::ReadFile(drive + "/WINDOWS/SYSTEM.DAT"), error);
    ASSERT_TRUE(saved) << error.what;
    win95::Hive9x::Key limits = saved->Find(saved->Find(saved->Root(), "SOFTWARE"), "Limits");
    ASSERT_NE(win95::Hive9x::NoKey, limits);
    EXPECT_EQ(std::string(255, 'k'), saved->Name(saved->FirstChild(limits)));
    EXPECT_EQ(4u, saved->Values(limits).size());
    EXPECT_EQ(std::string(16300, 't') + '\0', saved->FindValue(limits, "text")->data);
}

} // namespace
