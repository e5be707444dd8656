// Which form the machine WIN95PREFIX names has, and whether a run may use
// it at all.
#include "platform/posix/machine/form.h"

#include "platform/posix/machine/installation.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win95
{
namespace
{

// The machine WIN95PREFIX names; `chosen` when that is not the default
// $HOME/.win95.
std::string MachineFolderName(bool& chosen)
{
    const char* variable = std::getenv("HOME");
    std::string home = variable != nullptr ? variable : "";
    if (home.empty())
        home = sys::UserHome();
    const std::string standard = (home.empty() ? "/" : home) + "/.win95";
    const char* prefix = std::getenv("WIN95PREFIX");
    chosen = prefix != nullptr && prefix[0] != '\0' && standard != prefix;
    return chosen ? prefix : standard;
}

bool EndsWith(const std::string& name, std::string_view end)
{
    return name.size() > end.size() &&
           SameName(std::string_view(name).substr(name.size() - end.size()), end);
}

bool LooksLikeDiskImage(const std::string& name)
{
    for (const char* extension :
         {".img", ".ima", ".hdd", ".vhd", ".vhdx", ".qcow2", ".vdi", ".vmdk", ".raw"})
        if (EndsWith(name, extension))
            return true;
    return false;
}

// What a registry file of that name is kept in; null for any other name.
const char* RegistryFileHolder(const std::string& name)
{
    if (SameName(name, "SYSTEM.DAT"))
        return "the folder that is the C: drive (the one that holds the Windows directory)";
    if (SameName(name, "registry.reg"))
        return "the machine folder that holds it";
    return nullptr;
}

// Why a missing WIN95PREFIX names nothing a run may use; empty when a new
// machine folder is to be made there. One is made only where a user
// would expect one: at the default place, or as a new folder in one that
// exists, under a name that is not a disk image's; anything else that is
// missing is far more likely a typing mistake or a disk that is not mounted.
std::string MissingPrefixFault(const std::string& path, const std::string& name)
{
    struct stat info;
    // Another run may have made the machine folder since: it is taken then.
    if (sys::Lstat(path.c_str(), &info) == 0)
        return S_ISLNK(info.st_mode) ? "it is a symbolic link to something that does not exist"
                                     : "";
    if (path[0] == '~')
        return "there is no such file or folder: the shell leaves a quoted ~ as it is; write "
               "$HOME instead";
    if (const char* holder = RegistryFileHolder(name))
        return std::string("there is no such registry file; name ") + holder;
    if (LooksLikeDiskImage(name))
        return "there is no such disk image; check the name (a new machine folder is never made "
               "under a disk image's name)";
    if (SameName(name, "WINDOWS"))
        return "there is no such Windows directory; name the folder that is the C: drive";
    const std::string parent = path.substr(0, path.size() - name.size());
    if (!parent.empty() && (sys::Stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
        return "there is no such folder, nor the folder " + parent +
               " that would hold a new machine; create that first";
    return "";
}

// Why WIN95PREFIX names nothing a run may use; empty when it does.
std::string PrefixFault(std::string path, bool chosen)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string name = path.substr(path.rfind('/') + 1);
    struct stat info;
    if (sys::Stat(path.c_str(), &info) == 0)
    {
        const char* holder = RegistryFileHolder(name);
        if (S_ISREG(info.st_mode) && holder != nullptr)
            return std::string("it is a registry file, not a machine; name ") + holder;
        FolderKind kind = FolderKind::Machine;
        if (S_ISDIR(info.st_mode) && ReadFolderKind(path, kind) &&
            kind == FolderKind::WindowsDirectory)
            return "it is a Windows directory (it holds SYSTEM.DAT), not a C: drive; name the "
                   "folder that holds it";
        return "";
    }
    if (!sys::FailedFor(ENOENT) || !chosen)
        return "";
    return MissingPrefixFault(path, name);
}

// The machine folder, made if it is missing, open and locked; -1 once the
// fault has been said.
int LockFolder(const std::string& folder)
{
    if (!MakeFolders(folder))
    {
        Complain("%s: cannot create the machine folder: %s", folder.c_str(), sys::Reason());
        return -1;
    }
    int fd = sys::Open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || sys::Lock(fd) != 0)
    {
        Complain("%s: cannot take the machine: %s", folder.c_str(), sys::Reason());
        if (fd >= 0)
            sys::Close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool MakeFolders(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at)
    {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (sys::Mkdir(part.c_str(), 0755) != 0 && !sys::FailedFor(EEXIST))
            return false;
    }
    return true;
}

std::unique_ptr<MachineForm> TakeMachine(std::string& name)
{
    bool chosen = false;
    name = MachineFolderName(chosen);
    const std::string fault = PrefixFault(name, chosen);
    if (!fault.empty())
    {
        Complain("%s: %s", name.c_str(), fault.c_str());
        return nullptr;
    }
    struct stat image;
    if (sys::Stat(name.c_str(), &image) == 0 && S_ISREG(image.st_mode))
        return DiskImageForm(name);
    int lock = LockFolder(name);
    if (lock < 0)
        return nullptr;
    FolderKind kind = FolderKind::Machine;
    if (!ReadFolderKind(name, kind))
        return MachineFolderForm(name, lock, sys::Reason());
    if (kind == FolderKind::Installation)
        return InstallationFolderForm(name, lock);
    return MachineFolderForm(name, lock, "");
}

} // namespace win95
