// Whatever a C: path holds, what is written for it lands inside drive_c.
#include "platform/files.h"
#include "platform/posix/machine/machine.h"
#include "support/machines.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <map>
#include <sys/stat.h>

namespace
{

std::string Repeat(const std::string& piece, std::size_t times)
{
    std::string text;
    for (std::size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

// Every entry under the folder, with its size, by host path.
void Snapshot(const std::string& folder, std::map<std::string, long>& entries)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = readdir(dir))
    {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = folder + "/" + name;
        struct stat info;
        if (lstat(path.c_str(), &info) != 0)
            continue;
        entries[path] = S_ISDIR(info.st_mode) ? -1 : static_cast<long>(info.st_size);
        if (S_ISDIR(info.st_mode))
            Snapshot(path, entries);
    }
    closedir(dir);
}

// What was added or changed under `folder` between two snapshots.
std::vector<std::string> Changes(const std::map<std::string, long>& before,
                                 const std::map<std::string, long>& after)
{
    std::vector<std::string> changed;
    for (const auto& [path, size] : after)
    {
        auto old = before.find(path);
        if (old == before.end() || old->second != size)
            changed.push_back(path);
    }
    return changed;
}

struct HostilePath
{
    std::string path;
    const char* lands; // where the file must appear, under drive_c; "" for nowhere
};

TEST(HostilePaths, WritesForDriveCStayInsideIt)
{
    ASSERT_NE(nullptr, win95::MachineDrive('C'));
    std::string driveC = std::string(std::getenv("WIN95PREFIX")) + "/drive_c";
    std::string outside = driveC.substr(0, driveC.rfind('/', driveC.rfind('/') - 1));

    const HostilePath paths[] = {
        {"C:\\..\\up-1.txt", "up-1.txt"},
        {"C:\\WINDOWS\\..\\..\\..\\up-2.txt", "up-2.txt"},
        {"c:/../../up-3.txt", "up-3.txt"},
        {"C:..\\up-4.txt", "up-4.txt"},
        {"C:\\.\\..\\.\\..\\WINDOWS\\INF\\..\\..\\..\\WINDOWS\\up-5.txt", "WINDOWS/up-5.txt"},
        {"C:\\" + Repeat("..\\", 5000) + "up-6.txt", "up-6.txt"},
        {"C:\\WINDOWS\\INF" + Repeat("\\..\\INF", 3000) + "\\up-7.txt", "WINDOWS/INF/up-7.txt"},
        {"C:\\" + Repeat("..\\", 40) + "tmp\\up-8.txt", ""},
        {"C:\\WINDOWS\\INF\\" + std::string(300, 'n') + ".INF", ""},
        {"C:\\" + Repeat("deep\\", 1000) + "up-9.txt", ""},
        {"C:\\WINDOWS\\" + std::string(70000, 'w'), ""},
        {"D:\\up-10.txt", ""},
        {"A:\\up-11.txt", ""},
        {"C:\\.. \\up-12.txt", ""},
        {"C:\\...\\up-13.txt", ""},
        {"C:", ""},
        {"C:\\WINDOWS\\INF\\", ""},
    };
    for (const HostilePath& hostile : paths)
    {
        std::string what = hostile.path.substr(0, 80);
        std::map<std::string, long> before;
        Snapshot(outside, before);

        TextFile* file = OpenTextFile(hostile.path.c_str(), TRUE);
        if (file != nullptr)
        {
            EXPECT_TRUE(WriteText(file, "written\n"));
            EXPECT_TRUE(CloseTextFile(file));
        }
        win95::CommitMachine();

        std::map<std::string, long> after;
        Snapshot(outside, after);
        std::vector<std::string> changed = Changes(before, after);
        if (hostile.lands[0] == '\0')
        {
            EXPECT_EQ(nullptr, file) << what;
            EXPECT_TRUE(changed.empty()) << what << ": wrote " << changed[0];
            continue;
        }
        std::string landed = driveC + "/" + hostile.lands;
        ASSERT_EQ(1u, changed.size()) << what;
        EXPECT_EQ(landed, changed[0]) << what;
        EXPECT_EQ("written\r\n", support::ReadFile(landed)) << what;
        std::remove(landed.c_str());
    }
}

TEST(HostilePaths, DriveCNeitherReadsNorRemovesWhatIsOutside)
{
    ASSERT_NE(nullptr, win95::MachineDrive('C'));
    std::string driveC = std::string(std::getenv("WIN95PREFIX")) + "/drive_c";
    std::string machine = driveC.substr(0, driveC.rfind('/'));
    support::WriteFile(machine + "/outside.txt", "keep\r\n");

    for (const char* path : {"C:\\..\\outside.txt", "C:\\..\\..\\machine\\outside.txt",
                             "C:..\\outside.txt", "C:\\..\\..\\..\\..\\..\\etc\\passwd"})
    {
        EXPECT_FALSE(PathExists(path)) << path;
        EXPECT_EQ(nullptr, OpenTextFile(path, FALSE)) << path;
        EXPECT_FALSE(RemoveFile(path)) << path;
    }
    EXPECT_EQ("keep\r\n", support::ReadFile(machine + "/outside.txt"));
}

} // namespace
