#include "platform/posix/paths.h"

#include "platform/posix/machine.h"
#include "platform/posix/sys.h"

#include <cctype>
#include <dirent.h>
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

// The entry of the folder whose name equals `name` without regard to case;
// the name itself when there is an exact or no match.
std::string MatchEntry(const std::string& folder, const std::string& name)
{
    std::string exact = folder + "/" + name;
    struct stat info;
    if (lstat(exact.c_str(), &info) == 0)
        return name;
    DIR* dir = sys::OpenDir(folder.empty() ? "/" : folder.c_str());
    if (dir == nullptr)
        return name;
    std::string found = name;
    while (const dirent* entry = readdir(dir))
        if (strcasecmp(entry->d_name, name.c_str()) == 0)
        {
            found = entry->d_name;
            break;
        }
    closedir(dir);
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

std::string HostPath(const char* windowsPath)
{
    std::string path = windowsPath;
    std::string root = "";
    bool hasDrive =
        path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]));
    if (hasDrive)
    {
        char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        if (drive == 'C')
        {
            root = MachineDriveC();
            if (root.empty())
                return "";
        }
        else if (drive != 'Z')
            return "";
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

    std::string host = root;
    for (const std::string& part : Components(path))
        host += "/" + MatchEntry(host, part);
    return host.empty() ? "/" : host;
}

} // namespace win95
