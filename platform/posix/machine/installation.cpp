#include "platform/posix/machine/installation.h"

#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace win95
{
namespace
{

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// The entries of the folder named like the names (in any case), as
// stored; empty where there is none. False, with the cause kept, when the
// folder cannot be listed.
bool Match(const std::string& folder, std::initializer_list<const char*> names,
           std::vector<std::string>& found)
{
    found.assign(names.size(), "");
    DIR* dir = sys::OpenDir(folder.c_str());
    if (dir == nullptr)
        return false;
    bool failed = false;
    while (const dirent* entry = sys::ReadDir(dir, failed))
    {
        std::size_t at = 0;
        for (const char* name : names)
        {
            if (found[at].empty() && SameName(entry->d_name, name))
                found[at] = entry->d_name;
            ++at;
        }
    }
    sys::CauseKept kept;
    sys::CloseDir(dir);
    return !failed;
}

// The file's first bytes, at most `limit`; empty when it cannot be read.
std::string Head(const std::string& path, std::size_t limit)
{
    std::string text;
    int fd = sys::Open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return text;
    struct stat info;
    if (sys::Fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
    {
        text.resize(limit);
        ssize_t got = sys::Read(fd, text.data(), limit);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    sys::Close(fd);
    return text;
}

bool IsFolder(const std::string& path)
{
    struct stat info;
    return sys::Lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string WindowsDirectoryFrom(std::string_view msdosSys)
{
    std::string_view windows;
    bool inPaths = false;
    while (!msdosSys.empty() && windows.empty())
    {
        std::size_t end = std::min(msdosSys.find('\n'), msdosSys.size());
        std::string_view line = Trimmed(msdosSys.substr(0, end));
        msdosSys.remove_prefix(std::min(end + 1, msdosSys.size()));
        if (!line.empty() && line.front() == '[')
            inPaths = SameName(line, "[Paths]");
        std::size_t equals = line.find('=');
        if (inPaths && equals != std::string_view::npos &&
            SameName(Trimmed(line.substr(0, equals)), "WinDir"))
            windows = Trimmed(line.substr(equals + 1));
    }
    if (windows.empty())
        windows = "\\WINDOWS";
    if (windows.size() >= 2 && windows[1] == ':')
    {
        if (windows[0] != 'C' && windows[0] != 'c')
            return "";
        windows.remove_prefix(2);
    }
    std::string path = "\\";
    for (char c : windows)
        if (c != '\\' || path.back() != '\\')
            path += c;
    if (path.size() > 1 && path.back() == '\\')
        path.pop_back();
    return path;
}

bool ReadFolderKind(const std::string& folder, FolderKind& kind)
{
    kind = FolderKind::Machine;
    struct stat info;
    // A folder that cannot be looked into is no machine folder either: a
    // default machine made in a C: drive would hide its installation.
    if (sys::Lstat((folder + "/registry.reg").c_str(), &info) == 0)
        return true;
    if (!sys::FailedFor(ENOENT))
        return false;
    std::vector<std::string> found;
    if (!Match(folder, {"MSDOS.SYS", "WINDOWS", "SYSTEM.DAT"}, found))
        return false;
    if (!found[0].empty() || (!found[1].empty() && IsFolder(folder + "/" + found[1])))
        kind = FolderKind::Installation;
    else if (!found[2].empty())
        kind = FolderKind::WindowsDirectory;
    return true;
}

bool FindInstallation(const std::string& folder, Installation& found, std::string& fault)
{
    std::vector<std::string> names;
    if (!Match(folder, {"MSDOS.SYS"}, names))
    {
        fault = sys::Reason();
        return false;
    }
    found.windows =
        WindowsDirectoryFrom(names[0].empty() ? "" : Head(folder + "/" + names[0], 1 << 16));
    if (found.windows.empty())
    {
        fault = "MSDOS.SYS puts the Windows directory on another drive than C:";
        return false;
    }
    found.hostFolder = folder;
    std::string_view rest = found.windows;
    while (!rest.empty())
    {
        rest.remove_prefix(1);
        std::size_t end = std::min(rest.find('\\'), rest.size());
        std::string name(rest.substr(0, end));
        rest.remove_prefix(end);
        if (!Match(found.hostFolder, {name.c_str()}, names))
        {
            fault = sys::Reason();
            return false;
        }
        if (names[0].empty() || names[0] == "." || names[0] == ".." ||
            !IsFolder(found.hostFolder + "/" + names[0]))
        {
            fault = "the Windows directory C:" + found.windows + " is missing";
            return false;
        }
        found.hostFolder += "/" + names[0];
    }
    if (!Match(found.hostFolder, {"SYSTEM.DAT", "SYSTEM.TVB", "SYSTEM.TVN"}, names))
    {
        fault = sys::Reason();
        return false;
    }
    if (names[0].empty())
    {
        fault = "C:" + found.windows + " holds no SYSTEM.DAT";
        return false;
    }
    found.systemDat = found.hostFolder + "/" + names[0];
    found.backupExists = !names[1].empty();
    struct stat info;
    if (found.backupExists && sys::Lstat((found.hostFolder + "/" + names[1]).c_str(), &info) == 0 &&
        !S_ISREG(info.st_mode))
        found.backupFault = S_ISDIR(info.st_mode)   ? "a folder"
                            : S_ISLNK(info.st_mode) ? "a symbolic link"
                                                    : "no file";
    found.backup = found.hostFolder + "/" + (names[1].empty() ? "SYSTEM.TVB" : names[1]);
    found.temporary = found.hostFolder + "/" + (names[2].empty() ? "SYSTEM.TVN" : names[2]);
    return true;
}

} // namespace win95
