#include "platform/posix/machine/disk_installation.h"

#include "platform/posix/machine/installation.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win95
{
namespace
{

// The registry written out into a memfd, which mcopy then reads whole with
// no copy of ours in between; -1 when it cannot be.
int InMemory(const Storage& registry)
{
    int fd = sys::MemfdCreate("registry");
    auto put = [fd](const char* data, std::size_t size) { return sys::WriteAll(fd, data, size); };
    if (fd >= 0 && !registry.Write(put))
    {
        sys::CauseKept kept;
        sys::Close(fd);
        fd = -1;
    }
    return fd;
}

} // namespace

DiskInstallation::DiskInstallation(std::unique_ptr<DiskImage> disk) : disk_(std::move(disk)) {}

DiskInstallation::~DiskInstallation()
{
    for (const auto& staged : staged_)
        sys::Close(staged.second);
}

std::unique_ptr<DiskInstallation> DiskInstallation::Open(const std::string& image, int partition,
                                                         Fault& fault, bool& finished)
{
    auto holdsWindows = [](DiskImage& disk, std::string& why, Fault& found)
    {
        std::string windows;
        return FindWindows(disk, windows, why, found);
    };
    std::unique_ptr<DiskImage> disk = OpenDiskImage(image, partition, holdsWindows, fault);
    if (!disk)
        return nullptr;
    std::unique_ptr<DiskInstallation> installation(new DiskInstallation(std::move(disk)));
    installation->image_ = image;
    DiskImage& opened = *installation->disk_;
    std::string why;
    if (!FindWindows(opened, installation->windows_, why, fault))
    {
        const std::string which =
            partition > 0 ? "partition " + std::to_string(partition) : "the partition";
        if (fault.what.empty())
            fault = {image, which + " holds no Windows 9x: " + why};
        return nullptr;
    }
    installation->systemDat_ = installation->windows_ + "\\SYSTEM.DAT";
    installation->backup_ = installation->windows_ + "\\SYSTEM.TVB";
    installation->temporary_ = installation->windows_ + "\\SYSTEM.TVN";
    finished = false;
    if (!installation->FinishEarlierSave(finished, fault))
        return nullptr;
    return installation;
}

// The Windows directory is listed once: each look into the image starts
// an mtools program.
bool DiskInstallation::FinishEarlierSave(bool& finished, Fault& fault)
{
    std::vector<std::string> names;
    if (!disk_->List(windows_, names, fault))
        return false;
    auto has = [&names](const char* name)
    {
        return std::any_of(names.begin(), names.end(),
                           [name](const std::string& entry) { return SameName(entry, name); });
    };
    bool present = has("SYSTEM.DAT");
    bool stray = has("SYSTEM.TVN");
    backupExists_ = has("SYSTEM.TVB");
    backupIsFolder_ = backupExists_ && disk_->IsFolder(backup_, fault);
    if (!fault.what.empty())
        return false;
    if (!stray)
        return true;
    finished = !present;
    return (present ? disk_->Remove(temporary_, fault)
                    : disk_->Rename(temporary_, systemDat_, fault)) &&
           disk_->Flush(fault);
}

const std::string& DiskInstallation::WindowsDirectory() const
{
    return windows_;
}

const std::string& DiskInstallation::SystemDat() const
{
    return systemDat_;
}

DiskImage& DiskInstallation::Disk()
{
    return *disk_;
}

bool DiskInstallation::ReadRegistry(std::string& bytes, Fault& fault)
{
    return disk_->ReadFile(systemDat_, bytes, fault) &&
           disk_->GetAttributes(systemDat_, attributes_, fault);
}

int DiskInstallation::Stage(const std::string& dosPath)
{
    Discard(dosPath);
    int fd = sys::MemfdCreate("staged");
    if (fd < 0)
        return -1;
    staged_.emplace_back(dosPath, fd);
    return sys::DupFd(fd);
}

std::vector<std::string> DiskInstallation::StagedPaths() const
{
    std::vector<std::string> paths;
    for (const auto& staged : staged_)
        paths.push_back(staged.first);
    return paths;
}

bool DiskInstallation::Staged(const std::string& dosPath) const
{
    return std::any_of(staged_.begin(), staged_.end(),
                       [&dosPath](const auto& staged) { return SameName(staged.first, dosPath); });
}

bool DiskInstallation::Discard(const std::string& dosPath)
{
    auto found =
        std::find_if(staged_.begin(), staged_.end(),
                     [&dosPath](const auto& staged) { return SameName(staged.first, dosPath); });
    if (found == staged_.end())
        return false;
    sys::Close(found->second);
    staged_.erase(found);
    return true;
}

// Nothing is written before there is room for all of it.
bool DiskInstallation::Save(const Storage& registry, Fault& fault)
{
    const std::string unsaved = "the registry was not saved: ";
    if (registry.Changed() && backupIsFolder_)
    {
        fault = {image_, unsaved + "C:" + backup_ +
                             " is a folder, where the copy of SYSTEM.DAT from before the first "
                             "change is kept; move it away and run again"};
        return false;
    }
    const int content = registry.Changed() ? InMemory(registry) : -1;
    if (registry.Changed() && content < 0)
    {
        fault = {image_, unsaved + "cannot hold the new SYSTEM.DAT: " + sys::Reason()};
        return false;
    }
    uint64_t bytes = 0;
    struct stat info;
    if (content >= 0 && sys::Fstat(content, &info) == 0)
        bytes += static_cast<uint64_t>(info.st_size);
    for (const auto& staged : staged_)
        if (sys::Fstat(staged.second, &info) == 0)
            bytes += static_cast<uint64_t>(info.st_size);
    if (!disk_->RoomFor(bytes, fault))
    {
        fault.what = unsaved + fault.what;
        if (content >= 0)
            sys::Close(content);
        return false;
    }
    return (content < 0 || WriteRegistry(content, fault)) && CreateStaged(fault);
}

// The new SYSTEM.DAT takes the old one's place only once it reads back
// whole. Closes `content`, which holds it.
bool DiskInstallation::WriteRegistry(int content, Fault& fault)
{
    const bool written = disk_->CreateFileFrom(temporary_, content, fault) &&
                         disk_->SetAttributes(temporary_, attributes_, fault) &&
                         disk_->Flush(fault);
    sys::Close(content);
    if (!written)
    {
        // The reason is the failed step's, not the cleanup's.
        fault.what = "the registry was not saved: " + fault.what;
        Fault ignored;
        disk_->Remove(temporary_, ignored);
        disk_->Flush(ignored);
        return false;
    }
    const bool saved = (backupExists_ ? disk_->Remove(systemDat_, fault)
                                      : disk_->Rename(systemDat_, backup_, fault)) &&
                       disk_->Flush(fault) && disk_->Rename(temporary_, systemDat_, fault) &&
                       disk_->Flush(fault);
    if (!saved)
        fault.what = "cannot save the registry image: " + fault.what;
    return saved;
}

// A file that cannot be created, or does not read back whole, is removed
// again: Windows would take a setup file cut short for a complete one.
bool DiskInstallation::CreateStaged(Fault& fault)
{
    for (const auto& staged : staged_)
    {
        const std::string folder = staged.first.substr(0, staged.first.rfind('\\'));
        std::string why;
        Fault found;
        if (!folder.empty() && !disk_->IsFolder(folder, found))
            why = found.what.empty() ? "there is no folder C:" + folder + "; make it and run again"
                                     : found.what;
        else if (disk_->Exists(staged.first, found) || !found.what.empty())
            why = found.what.empty() ? "the name is taken" : found.what;
        else if (!disk_->CreateFileFrom(staged.first, staged.second, found))
        {
            why = found.what;
            Fault ignored;
            disk_->Remove(staged.first, ignored);
            disk_->Flush(ignored);
        }
        else
            continue;
        fault = {image_,
                 "C:" + staged.first + " was not placed, though the registry was saved: " + why};
        return false;
    }
    if (disk_->Flush(fault))
        return true;
    fault.what = "cannot save the files placed on C: " + fault.what;
    return false;
}

bool FindWindows(DiskImage& disk, std::string& windows, std::string& why, Fault& fault)
{
    std::string msdosSys;
    const bool named = disk.Exists("\\MSDOS.SYS", fault);
    if (named && !disk.ReadFile("\\MSDOS.SYS", msdosSys, fault))
        return false;
    windows = WindowsDirectoryFrom(msdosSys);
    if (windows.empty())
        why = "its MSDOS.SYS puts the Windows directory on another drive than C:";
    else if (!disk.IsFolder(windows, fault))
        why = "the Windows directory C:" + windows +
              (named ? " that its MSDOS.SYS gives does not exist" : " does not exist");
    else if (!disk.Exists(windows + "\\SYSTEM.DAT", fault) &&
             !disk.Exists(windows + "\\SYSTEM.TVN", fault))
        why = "its Windows directory C:" + windows + " holds no SYSTEM.DAT";
    else
        return true;
    return false;
}

} // namespace win95
