#include "platform/posix/api/paths.h"

#include "platform/posix/machine/machine.h"
#include "platform/posix/os/sys.h"

#include <cctype>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace win95
{
namespace
{

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::vector<std::string> Components(const std::string& path)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : path + "\\")
    {
        if (!IsSeparator(c))
        {
            part += c;
            continue;
        }
        if (part == "..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    return parts;
}

// Opens the path below root one component at a time, never following a
// symbolic link: for kernels without openat2.
int OpenComponentwise(int root, const std::string& path, int flags, mode_t mode)
{
    int folder = sys::OpenAt(root, ".", O_PATH | O_DIRECTORY);
    std::size_t at = 0;
    while (folder >= 0)
    {
        std::size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            break;
        int next = sys::OpenAt(folder, path.substr(at, slash - at).c_str(),
                               O_PATH | O_DIRECTORY | O_NOFOLLOW);
        int error = errno;
        close(folder);
        errno = error;
        folder = next;
        at = slash + 1;
    }
    if (folder < 0)
        return -1;
    int fd = sys::OpenAt(folder, path.c_str() + at, flags | O_NOFOLLOW, mode);
    int error = errno;
    close(folder);
    errno = error;
    return fd;
}

// The entry of the folder whose name equals `name` without regard to case;
// the name itself when there is an exact or no match. `exists` tells
// whether there is one, of whatever kind: a dangling link is an entry too.
std::string MatchEntry(const HostPlace& place, const std::string& name, bool& exists)
{
    exists = false;
    int folder = OpenOnDrive(place, place.folder, O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        return name;
    std::string found = name;
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        exists = true;
    else if (DIR* dir = sys::OpenDirAt(folder))
    {
        while (const dirent* entry = readdir(dir))
            if (strcasecmp(entry->d_name, name.c_str()) == 0)
            {
                found = entry->d_name;
                exists = true;
                break;
            }
        closedir(dir);
    }
    close(folder);
    return found;
}

std::string CurrentDirectory()
{
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr)
    {
        if (buffer.size() > (1u << 20))
            return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

} // namespace

bool Locate(const char* windowsPath, HostPlace& place)
{
    std::string path = windowsPath;
    place = HostPlace();
    bool hasDrive =
        path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    if (hasDrive)
    {
        char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        if (drive == 'C')
        {
            place.root = MachineDriveCFolder();
            if (place.root < 0)
                return false;
        }
        else if (drive != 'Z')
            return false;
        path.erase(0, 2);
    }
    else if (path.empty() || !IsSeparator(path[0]))
    {
        // Relative to the current directory, which is on Z:.
        std::string current = CurrentDirectory();
        for (char& c : current)
            if (c == '/')
                c = '\\';
        path = current + "\\" + path;
    }

    place.folder = place.root >= 0 ? "." : "/";
    std::vector<std::string> parts = Components(path);
    for (std::size_t at = 0; at < parts.size(); ++at)
    {
        if (at > 0)
            place.folder = PlacePath(place);
        place.name = MatchEntry(place, parts[at], place.exists);
    }
    place.exists = place.exists || parts.empty();
    return true;
}

bool LocateOnDisk(const char* windowsPath, std::string& dosPath)
{
    if (std::toupper(static_cast<unsigned char>(windowsPath[0])) != 'C' || windowsPath[1] != ':' ||
        MachineDisk() == nullptr)
        return false;
    dosPath.clear();
    for (const std::string& part : Components(windowsPath + 2))
        dosPath += "\\" + part;
    if (dosPath.empty())
        dosPath = "\\";
    return true;
}

std::string PlacePath(const HostPlace& place)
{
    if (place.name.empty())
        return place.folder;
    if (place.folder == ".")
        return place.name;
    if (place.folder == "/")
        return "/" + place.name;
    return place.folder + "/" + place.name;
}

int OpenOnDrive(const HostPlace& place, const std::string& path, int flags, mode_t mode)
{
    if (place.root < 0)
        return sys::Open(path.c_str(), flags, mode);
    int fd = sys::OpenInRoot(place.root, path.c_str(), flags, mode);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return fd;
    return path == "." ? sys::OpenAt(place.root, ".", flags, mode)
                       : OpenComponentwise(place.root, path, flags, mode);
}

std::string HostPath(const char* windowsPath)
{
    HostPlace place;
    if (!Locate(windowsPath, place))
        return "";
    if (place.root < 0)
        return PlacePath(place);
    std::string below = PlacePath(place);
    return MachineDriveC() + (below == "." ? "" : "/" + below);
}

} // namespace win95
