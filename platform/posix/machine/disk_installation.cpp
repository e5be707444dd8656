#include "platform/posix/machine/disk_installation.h"

#include "platform/posix/os/sys.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
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
    int fd = memfd_create("registry", MFD_CLOEXEC);
    auto put = [fd](const char* data, std::size_t size) { return sys::WriteAll(fd, data, size); };
    if (fd >= 0 && !registry.Write(put))
    {
        const int error = errno;
        close(fd);
        errno = error;
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
                                                         std::string& error, bool& finished)
{
    std::unique_ptr<DiskImage> disk = OpenDiskImage(image, partition, error);
    if (!disk)
        return nullptr;
    std::unique_ptr<DiskInstallation> installation(new DiskInstallation(std::move(disk)));
    installation->image_ = image;
    DiskImage& opened = *installation->disk_;
    std::string why;
    if (!FindWindows(opened, installation->windows_, why))
    {
        const std::string which =
            partition > 0 ? "partition " + std::to_string(partition) : "the partition";
        error = opened.LastError().empty() ? image + ": " + which + " holds no Windows 9x: " + why
                                           : opened.LastError();
        return nullptr;
    }
    installation->systemDat_ = installation->windows_ + "\\SYSTEM.DAT";
    installation->backup_ = installation->windows_ + "\\SYSTEM.TVB";
    installation->temporary_ = installation->windows_ + "\\SYSTEM.TVN";
    finished = false;
    if (!installation->FinishEarlierSave(finished))
    {
        error = opened.LastError();
        return nullptr;
    }
    return installation;
}

// The Windows directory is listed once: each look into the image starts
// an mtools program.
bool DiskInstallation::FinishEarlierSave(bool& finished)
{
    std::vector<std::string> names;
    if (!disk_->List(windows_, names))
        return false;
    auto has = [&names](const char* name)
    {
        return std::any_of(names.begin(), names.end(),
                           [name](const std::string& entry)
                           { return strcasecmp(entry.c_str(), name) == 0; });
    };
    bool present = has("SYSTEM.DAT");
    bool stray = has("SYSTEM.TVN");
    backupExists_ = has("SYSTEM.TVB");
    backupIsFolder_ = backupExists_ && disk_->IsFolder(backup_);
    if (!disk_->LastError().empty())
        return false;
    if (!stray)
        return true;
    finished = !present;
    return (present ? disk_->Remove(temporary_) : disk_->Rename(temporary_, systemDat_)) &&
           disk_->Flush();
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

bool DiskInstallation::ReadRegistry(std::string& bytes, std::string& error)
{
    bool read = disk_->ReadFile(systemDat_, bytes) && disk_->GetAttributes(systemDat_, attributes_);
    if (!read)
        error = disk_->LastError();
    return read;
}

int DiskInstallation::Stage(const std::string& dosPath)
{
    Discard(dosPath);
    int fd = memfd_create("staged", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    staged_.emplace_back(dosPath, fd);
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
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
                       [&dosPath](const auto& staged)
                       { return strcasecmp(staged.first.c_str(), dosPath.c_str()) == 0; });
}

bool DiskInstallation::Discard(const std::string& dosPath)
{
    auto found = std::find_if(staged_.begin(), staged_.end(),
                              [&dosPath](const auto& staged)
                              { return strcasecmp(staged.first.c_str(), dosPath.c_str()) == 0; });
    if (found == staged_.end())
        return false;
    sys::Close(found->second);
    staged_.erase(found);
    return true;
}

// The last fault of the disk, without the image's name that leads it.
std::string DiskInstallation::Reason() const
{
    const std::string& fault = disk_->LastError();
    const std::string lead = image_ + ": ";
    return fault.compare(0, lead.size(), lead) == 0 ? fault.substr(lead.size()) : fault;
}

// Nothing is written before there is room for all of it; the new
// SYSTEM.DAT takes the old one's place only once it reads back whole.
bool DiskInstallation::Save(const Storage& registry, std::string& error)
{
    const std::string unsaved = image_ + ": the registry was not saved: ";
    if (registry.Changed() && backupIsFolder_)
    {
        error = unsaved + "C:" + backup_ +
                " is a folder, where the copy of SYSTEM.DAT from before the first change is "
                "kept; move it away and run again";
        return false;
    }
    const int content = registry.Changed() ? InMemory(registry) : -1;
    if (registry.Changed() && content < 0)
    {
        error = unsaved + "cannot hold the new SYSTEM.DAT: " + std::strerror(errno);
        return false;
    }
    uint64_t bytes = 0;
    struct stat info;
    if (content >= 0 && fstat(content, &info) == 0)
        bytes += static_cast<uint64_t>(info.st_size);
    for (const auto& staged : staged_)
        if (fstat(staged.second, &info) == 0)
            bytes += static_cast<uint64_t>(info.st_size);
    if (!disk_->RoomFor(bytes))
    {
        error = unsaved + Reason();
        if (content >= 0)
            close(content);
        return false;
    }
    if (content >= 0)
    {
        bool written = disk_->CreateFileFrom(temporary_, content) &&
                       disk_->SetAttributes(temporary_, attributes_) && disk_->Flush();
        close(content);
        if (!written)
        {
            // The reason is the failed step's, not the cleanup's.
            error = unsaved + Reason();
            disk_->Remove(temporary_);
            disk_->Flush();
            return false;
        }
        bool saved =
            (backupExists_ ? disk_->Remove(systemDat_) : disk_->Rename(systemDat_, backup_)) &&
            disk_->Flush() && disk_->Rename(temporary_, systemDat_) && disk_->Flush();
        if (!saved)
        {
            error = image_ + ": cannot save the registry image: " + Reason();
            return false;
        }
    }
    return CreateStaged(error);
}

// A file that cannot be created, or does not read back whole, is removed
// again: Windows would take a setup file cut short for a complete one.
bool DiskInstallation::CreateStaged(std::string& error)
{
    for (const auto& staged : staged_)
    {
        const std::string folder = staged.first.substr(0, staged.first.rfind('\\'));
        std::string why;
        if (!folder.empty() && !disk_->IsFolder(folder))
            why = disk_->LastError().empty()
                      ? "there is no folder C:" + folder + "; make it and run again"
                      : Reason();
        else if (disk_->Exists(staged.first) || !disk_->LastError().empty())
            why = disk_->LastError().empty() ? "the name is taken" : Reason();
        else if (!disk_->CreateFileFrom(staged.first, staged.second))
        {
            why = Reason();
            disk_->Remove(staged.first);
            disk_->Flush();
        }
        else
            continue;
        error = image_ + ": C:" + staged.first +
                " was not placed, though the registry was saved: " + why;
        return false;
    }
    if (disk_->Flush())
        return true;
    error = image_ + ": cannot save the files placed on C: " + Reason();
    return false;
}

} // namespace win95
