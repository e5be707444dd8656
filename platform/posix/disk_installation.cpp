#include "platform/posix/disk_installation.h"

#include "platform/posix/installation.h"
#include "platform/posix/sys.h"

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

// The Windows directory of the disk's C:, as its MSDOS.SYS names it;
// empty when that is on another drive or MSDOS.SYS cannot be read.
std::string WindowsDirectoryOf(DiskImage& disk)
{
    std::string msdos;
    if (disk.Exists("\\MSDOS.SYS") && !disk.ReadFile("\\MSDOS.SYS", msdos))
        return "";
    return WindowsDirectoryFrom(msdos);
}

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

// The search for a partition holding a Windows directory looks for
// SYSTEM.DAT, which a save cut short may have left only as SYSTEM.TVN:
// such a partition is taken too, so that the save can be finished.
std::unique_ptr<DiskInstallation> DiskInstallation::Open(const std::string& image, int partition,
                                                         std::string& error, bool& finished)
{
    std::unique_ptr<DiskImage> disk = OpenDiskImage(image, partition, error);
    for (int number = 1; !disk && partition == 0 && number <= 4; ++number)
    {
        std::string ignored;
        std::unique_ptr<DiskImage> candidate = OpenDiskImage(image, number, ignored);
        std::string windows = candidate ? WindowsDirectoryOf(*candidate) : "";
        if (!windows.empty() && candidate->Exists(windows + "\\SYSTEM.TVN") &&
            !candidate->Exists(windows + "\\SYSTEM.DAT"))
            disk = std::move(candidate);
    }
    if (!disk)
        return nullptr;
    std::unique_ptr<DiskInstallation> installation(new DiskInstallation(std::move(disk)));
    DiskImage& opened = *installation->disk_;
    installation->windows_ = WindowsDirectoryOf(opened);
    if (installation->windows_.empty())
    {
        error = opened.LastError().empty()
                    ? image + ": MSDOS.SYS puts the Windows directory on another drive than C:"
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

bool DiskInstallation::Save(const Storage& registry, std::string& error)
{
    if (registry.Changed())
    {
        const int content = InMemory(registry);
        if (content < 0)
        {
            error = "C:" + temporary_ + ": cannot be written: " + std::strerror(errno);
            return false;
        }
        bool written = disk_->CreateFileFrom(temporary_, content) &&
                       disk_->SetAttributes(temporary_, attributes_) && disk_->Flush();
        close(content);
        if (!written)
        {
            // The reason is the failed step's, not the cleanup's.
            error = disk_->LastError();
            disk_->Remove(temporary_);
            return false;
        }
        bool saved =
            (backupExists_ ? disk_->Remove(systemDat_) : disk_->Rename(systemDat_, backup_)) &&
            disk_->Flush() && disk_->Rename(temporary_, systemDat_) && disk_->Flush();
        if (!saved)
        {
            error = disk_->LastError();
            return false;
        }
    }
    return CreateStaged(error);
}

bool DiskInstallation::CreateStaged(std::string& error)
{
    for (const auto& staged : staged_)
        if (!disk_->CreateFileFrom(staged.first, staged.second))
        {
            error = disk_->LastError();
            return false;
        }
    if (disk_->Flush())
        return true;
    error = disk_->LastError();
    return false;
}

} // namespace win95
