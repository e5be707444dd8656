#include "platform/posix/machine/host_drive.h"

#include "platform/posix/machine/messages.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win95
{
namespace
{

// Where a path of the drive leads on the host.
struct HostPlace
{
    std::string folder;  // the folder holding the last component: below the
                         // drive's top for C: ("." for the top), absolute for Z:
    std::string name;    // the last component, matched for case; empty for the top
    bool exists = false; // an entry of that name (of any kind) is in the folder
};

// The place's folder and name joined: below the top for C:, absolute for Z:.
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
        sys::CauseKept kept;
        sys::Close(folder);
        folder = next;
        at = slash + 1;
    }
    if (folder < 0)
        return -1;
    int fd = sys::OpenAt(folder, path.c_str() + at, flags | O_NOFOLLOW, mode);
    sys::CauseKept kept;
    sys::Close(folder);
    return fd;
}

// Opens a path of the drive (as PlacePath gives it). Below root it
// resolves inside the drive only: with openat2's RESOLVE_IN_ROOT, or,
// where the kernel lacks it, component by component refusing symbolic
// links. Without root (Z:) the path is the host's.
int OpenOnDrive(int root, const std::string& path, int flags, mode_t mode = 0)
{
    if (root < 0)
        return sys::Open(path.c_str(), flags, mode);
    int fd = sys::OpenInRoot(root, path.c_str(), flags, mode);
    if (fd >= 0 || (!sys::FailedFor(ENOSYS) && !sys::FailedFor(EPERM)))
        return fd;
    return path == "." ? sys::OpenAt(root, ".", flags, mode)
                       : OpenComponentwise(root, path, flags, mode);
}

// The entry of the folder whose name equals `name` without regard to case;
// the name itself when there is an exact or no match. `exists` tells
// whether there is one, of whatever kind: a dangling link is an entry too.
std::string MatchEntry(int root, const HostPlace& place, const std::string& name, bool& exists)
{
    exists = false;
    int folder = OpenOnDrive(root, place.folder, O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        return name;
    std::string found = name;
    struct stat info;
    if (sys::FstatAt(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        exists = true;
    else if (DIR* dir = sys::OpenDirAt(folder))
    {
        // A listing that breaks off counts as finding nothing, as any
        // failure of the search does.
        bool failed = false;
        while (const dirent* entry = sys::ReadDir(dir, failed))
            if (SameName(entry->d_name, name))
            {
                found = entry->d_name;
                exists = true;
                break;
            }
        sys::CloseDir(dir);
    }
    sys::Close(folder);
    return found;
}

// Finds the host place of the drive's path, matching each existing
// component for case.
HostPlace Locate(int root, const DrivePath& path)
{
    HostPlace place;
    place.folder = root >= 0 ? "." : "/";
    for (std::size_t at = 0; at < path.size(); ++at)
    {
        if (at > 0)
            place.folder = PlacePath(place);
        place.name = MatchEntry(root, place, path[at], place.exists);
    }
    place.exists = place.exists || path.empty();
    return place;
}

// A new file for the folder: without a name where the file system can
// make one (O_TMPFILE), else under its name. The name is checked either
// way, so that the commit cannot fail on it.
int OpenPlacedFile(int folder, const std::string& name, mode_t mode, bool& named)
{
    long longest = sys::PathConf(folder, _PC_NAME_MAX);
    if (longest > 0 && name.size() > static_cast<std::size_t>(longest))
        return -1;
    named = false;
    int fd = sys::OpenUnnamed(folder, mode);
    if (fd >= 0)
        return fd;
    named = true;
    return sys::OpenAt(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

} // namespace

HostDrive::HostDrive() : folder_("/") {}

HostDrive::HostDrive(std::string folder, int root) : folder_(std::move(folder)), root_(root) {}

HostDrive::~HostDrive()
{
    if (!filesPlaced_)
        DropFiles();
    for (const PlacedFile& file : placed_)
    {
        sys::Close(file.fd);
        sys::Close(file.folder);
    }
    if (root_ >= 0)
        sys::Close(root_);
}

bool HostDrive::Exists(const DrivePath& path)
{
    HostPlace place = Locate(root_, path);
    if (place.exists)
        return true;
    return root_ >= 0 && std::any_of(placed_.begin(), placed_.end(),
                                     [&place](const PlacedFile& file) {
                                         return file.folderPath == place.folder &&
                                                SameName(file.name, place.name);
                                     });
}

int HostDrive::OpenForReading(const DrivePath& path)
{
    return OpenOnDrive(root_, PlacePath(Locate(root_, path)), O_RDONLY);
}

// An existing file is emptied and written where it is, unless it is a
// symbolic link; a new one on C: is placed at the commit.
int HostDrive::OpenForWriting(const DrivePath& path)
{
    HostPlace place = Locate(root_, path);
    if (place.name.empty())
        return -1;
    if (root_ < 0)
        return sys::Open(PlacePath(place).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (place.exists)
        return OpenOnDrive(root_, PlacePath(place), O_WRONLY | O_TRUNC | O_NOFOLLOW);
    Discard(place.folder, place.name);
    return Create(place.folder, place.name);
}

bool HostDrive::Remove(const DrivePath& path)
{
    HostPlace place = Locate(root_, path);
    if (place.name.empty())
        return false;
    if (root_ < 0)
        return sys::Unlink(PlacePath(place).c_str()) == 0;
    if (Discard(place.folder, place.name))
        return true;
    int folder = OpenOnDrive(root_, place.folder, O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        return false;
    bool removed = sys::UnlinkAt(folder, place.name.c_str()) == 0;
    sys::Close(folder);
    return removed;
}

int HostDrive::Create(const std::string& folderPath, const std::string& name)
{
    PlacedFile file;
    file.folder = OpenOnDrive(root_, folderPath, O_RDONLY | O_DIRECTORY);
    if (file.folder < 0)
        return -1;
    file.fd = OpenPlacedFile(file.folder, name, 0644, file.named);
    if (file.fd < 0)
    {
        sys::CauseKept kept;
        sys::Close(file.folder);
        return -1;
    }
    file.folderPath = folderPath;
    file.name = name;
    file.hostPath = folder_ + "/" + (folderPath == "." ? name : folderPath + "/" + name);
    placed_.push_back(std::move(file));
    int writer = sys::DupFd(placed_.back().fd);
    if (writer < 0)
        Discard(folderPath, name);
    return writer;
}

bool HostDrive::Discard(const std::string& folderPath, const std::string& name)
{
    auto found = std::find_if(placed_.begin(), placed_.end(),
                              [&](const PlacedFile& file) {
                                  return file.folderPath == folderPath && SameName(file.name, name);
                              });
    if (found == placed_.end())
        return false;
    if (found->named)
        sys::UnlinkAt(found->folder, found->name.c_str());
    sys::Close(found->fd);
    sys::Close(found->folder);
    placed_.erase(found);
    return true;
}

// Writes nothing to memory that could run out, so that the commit cannot
// stop half done.
void HostDrive::PlaceFiles()
{
    filesPlaced_ = true;
    for (const PlacedFile& file : placed_)
    {
        bool placed = sys::Fsync(file.fd) == 0 &&
                      (file.named || sys::LinkAt(file.fd, file.folder, file.name.c_str()) == 0) &&
                      sys::Fsync(file.folder) == 0;
        if (!placed)
        {
            Complain("%s: cannot place the file: %s", file.hostPath.c_str(), sys::Reason());
            if (file.named)
                sys::UnlinkAt(file.folder, file.name.c_str());
        }
    }
}

void HostDrive::DropFiles()
{
    for (const PlacedFile& file : placed_)
    {
        if (file.named)
            sys::UnlinkAt(file.folder, file.name.c_str());
        sys::Close(file.fd);
        sys::Close(file.folder);
    }
    placed_.clear();
}

std::vector<std::string> HostDrive::Placed() const
{
    std::vector<std::string> paths;
    for (const PlacedFile& file : placed_)
    {
        std::string path =
            "C:\\" + (file.folderPath == "." ? "" : file.folderPath + "\\") + file.name;
        std::replace(path.begin(), path.end(), '/', '\\');
        paths.push_back(path);
    }
    return paths;
}

} // namespace win95
