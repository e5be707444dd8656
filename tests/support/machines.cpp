#include "support/machines.h"

#include "tools/convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace support
{

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string Fixture(const std::string& name)
{
    return ReadFile(std::string(TAVRINE_FIXTURES) + "/" + name);
}

std::string Program(const std::string& name)
{
    return std::string(TAVRINE_BINARY_DIR) + "/" + name;
}

namespace
{

// The folders this test process made, and the process: a child forked by
// a test that ends through exit() must not remove its parent's folders.
struct MadeFolders
{
    pid_t owner = getpid();
    std::vector<std::string> folders;
};

// Never destroyed, so that it outlives the handler that removes the folders.
MadeFolders& Made()
{
    static MadeFolders* made = new MadeFolders;
    return *made;
}

// When every test of the process passed, its folders go; when one failed,
// they stay for a look.
void RemoveMadeFolders()
{
    if (getpid() != Made().owner || !testing::UnitTest::GetInstance()->Passed())
        return;
    for (const std::string& folder : Made().folders)
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

} // namespace

std::string TempDir()
{
    std::string pattern = "/tmp/tavrine-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp failed";
    static const bool removedAtExit = std::atexit(RemoveMadeFolders) == 0;
    static_cast<void>(removedAtExit);
    Made().folders.push_back(pattern);
    return pattern;
}

std::string FreshMachine()
{
    return TempDir() + "/machine";
}

std::string MachineWithImage(const std::string& image)
{
    std::string machine = TempDir();
    for (const char* dir :
         {"/drive_c", "/drive_c/WINDOWS", "/drive_c/WINDOWS/INF", "/drive_c/WINDOWS/SYSTEM"})
        mkdir((machine + dir).c_str(), 0755);
    WriteFile(machine + "/registry.reg", image);
    return machine;
}

std::string SystemDatOf(const std::string& image)
{
    std::vector<std::string> messages;
    std::unique_ptr<win95::Hive9x> hive =
        regconv::HiveFromText(image, "HKEY_LOCAL_MACHINE", false, messages);
    std::string bytes;
    EXPECT_TRUE(hive && hive->Write([&bytes](const char* data, std::size_t size)
                                    { return bytes.append(data, size), true; }));
    return bytes;
}

std::string InstallationWithImage(const std::string& image, const std::string& windows)
{
    std::string drive = TempDir();
    WriteFile(drive + "/MSDOS.SYS", "[Paths]\r\nWinDir=C:\\" + windows + "\r\nWinBootDir=C:\\" +
                                        windows + "\r\n\r\n[Options]\r\nBootGUI=1\r\n");
    mkdir((drive + "/" + windows).c_str(), 0755);
    mkdir((drive + "/" + windows + "/INF").c_str(), 0755);
    WriteFile(drive + "/" + windows + "/SYSTEM.DAT", SystemDatOf(image));
    return drive;
}

std::string InstallationText(const std::string& systemDat)
{
    const std::string bytes = ReadFile(systemDat);
    for (const win95::Hive9xFinding& problem : win95::Hive9x::Check(bytes))
        ADD_FAILURE() << systemDat << ": " << problem.fault.where << ": " << problem.fault.what;
    win95::Fault error;
    std::unique_ptr<win95::Hive9x> hive = win95::Hive9x::Read(bytes, error);
    EXPECT_TRUE(hive) << systemDat << ": " << error.where << ": " << error.what;
    std::string text;
    if (hive)
        regconv::TextFromHive(*hive, "HKEY_LOCAL_MACHINE",
                              [&text](const char* data, std::size_t size)
                              { return text.append(data, size), true; });
    return text;
}

std::string ImageOf(const std::string& machine)
{
    return ReadFile(machine + "/registry.reg");
}

std::string InfDir(const std::string& machine)
{
    return machine + "/drive_c/WINDOWS/INF";
}

std::map<std::string, std::string> Entries(const std::string& dir)
{
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (const std::filesystem::directory_entry& entry :
         std::filesystem::directory_iterator(dir, error))
    {
        std::string name = entry.path().filename().string();
        if (entry.is_symlink())
            entries[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        else
            entries[name] = entry.is_directory() ? "<dir>" : ReadFile(entry.path().string());
    }
    return entries;
}

ChildCommand::ChildCommand(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& machine, const std::vector<std::string>& extraEnv)
{
    std::vector<std::string> settings = extraEnv;
    settings.push_back("WIN95PREFIX=" + machine);
    for (char** entry = environ; *entry != nullptr; ++entry)
    {
        const std::string name = std::string(*entry).substr(0, std::strcspn(*entry, "=") + 1);
        if (std::none_of(settings.begin(), settings.end(),
                         [&name](const std::string& setting)
                         { return setting.rfind(name, 0) == 0; }))
            env.push_back(*entry);
    }
    env.insert(env.end(), settings.begin(), settings.end());

    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& machine, const std::vector<std::string>& extraEnv)
{
    ChildCommand command(program, arguments, machine, extraEnv);
    int errorEnds[2];
    int outputEnds[2];
    if (pipe(errorEnds) != 0)
        return {};
    if (pipe(outputEnds) != 0)
    {
        close(errorEnds[0]);
        close(errorEnds[1]);
        return {};
    }
    pid_t child = fork();
    if (child == 0)
    {
        dup2(outputEnds[1], 1);
        dup2(errorEnds[1], 2);
        for (int end : {errorEnds[0], errorEnds[1], outputEnds[0], outputEnds[1]})
            close(end);
        execve(program.c_str(), command.argv.data(), command.envp.data());
        _exit(127);
    }
    close(errorEnds[1]);
    close(outputEnds[1]);
    RunResult result;
    // Both streams are read as they come, so that neither fills its pipe
    // while the other is waited for.
    pollfd streams[2] = {{errorEnds[0], POLLIN, 0}, {outputEnds[0], POLLIN, 0}};
    std::string* texts[2] = {&result.errorOutput, &result.output};
    for (int open = 2; open > 0;)
    {
        if (poll(streams, 2, -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i)
        {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
            if (got > 0)
                texts[i]->append(buffer, static_cast<std::size_t>(got));
            else
            {
                close(streams[i].fd);
                streams[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& stream : streams)
        if (stream.fd >= 0)
            close(stream.fd);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    return result;
}

std::vector<Section> SplitSections(const std::string& image)
{
    std::vector<Section> sections(1);
    std::size_t at = 0;
    while (at < image.size())
    {
        std::size_t end = image.find('\n', at);
        end = end == std::string::npos ? image.size() : end + 1;
        std::string line = image.substr(at, end - at);
        if (!line.empty() && line[0] == '[')
        {
            std::size_t close = line.rfind(']');
            sections.push_back({line.substr(1, close - 1), ""});
        }
        sections.back().text += line;
        at = end;
    }
    return sections;
}

namespace
{
bool IsAtOrBelow(const std::string& header, const std::string& key)
{
    return header == key || header.rfind(key + "\\", 0) == 0;
}
} // namespace

void ExpectImageChange(const std::string& before, const std::string& after,
                       const std::string& fragment)
{
    std::map<std::string, std::string> expected;
    std::vector<std::string> removed;
    for (const Section& section : SplitSections(fragment))
    {
        if (section.header.empty())
            continue;
        if (section.header[0] == '-')
            removed.push_back(section.header.substr(1));
        else
            expected[section.header] = section.text;
    }
    auto isRemoved = [&](const std::string& header)
    {
        for (const std::string& key : removed)
            if (IsAtOrBelow(header, key))
                return true;
        return false;
    };

    std::vector<Section> old = SplitSections(before);
    std::vector<Section> now = SplitSections(after);
    std::map<std::string, std::string> oldByHeader;
    for (const Section& section : old)
        oldByHeader[section.header] = section.text;

    std::map<std::string, bool> seen;
    std::size_t oldAt = 0;
    for (const Section& section : now)
    {
        EXPECT_FALSE(seen[section.header]) << "key written twice: " << section.header;
        seen[section.header] = true;
        EXPECT_FALSE(isRemoved(section.header)) << "key not removed: " << section.header;
        auto golden = expected.find(section.header);
        if (golden != expected.end())
        {
            EXPECT_EQ(golden->second, section.text) << "in key " << section.header;
            continue;
        }
        auto previous = oldByHeader.find(section.header);
        if (previous == oldByHeader.end())
        {
            ADD_FAILURE() << "unexpected new key: " << section.header;
            continue;
        }
        EXPECT_EQ(previous->second, section.text) << "changed key: " << section.header;
        while (oldAt < old.size() && old[oldAt].header != section.header)
            ++oldAt;
        EXPECT_LT(oldAt, old.size()) << "key out of its old order: " << section.header;
    }
    for (const auto& [header, text] : expected)
        EXPECT_TRUE(seen[header]) << "missing key: " << header;
    for (const Section& section : old)
        EXPECT_TRUE(seen[section.header] || isRemoved(section.header))
            << "key lost: " << section.header;
}

} // namespace support

namespace
{
// Tests that call the machine's services in-process get a throw-away
// machine of their own. A death test's child, started anew with its
// parent's environment, takes its parent's: it may end without running
// the exit handlers that would remove a folder of its own.
class ThrowAwayMachine : public testing::Environment
{
  public:
    void SetUp() override
    {
        const char* parents = std::getenv("TAVRINE_TEST_MACHINE");
        std::string machine = parents != nullptr ? parents : support::FreshMachine();
        setenv("TAVRINE_TEST_MACHINE", machine.c_str(), 1);
        setenv("WIN95PREFIX", machine.c_str(), 1);
    }
};

const testing::Environment* const throwAwayMachine =
    testing::AddGlobalTestEnvironment(new ThrowAwayMachine);
} // namespace
