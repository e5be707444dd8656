// A disk image holding a Windows 9x installation (disk_installation.h),
// opened, and so locked, for the whole run. Its C: drive is reached inside
// the image: a file the run writes there is created at the commit, and a
// file it reads is read whole first.
#include "platform/posix/machine/disk_installation.h"
#include "platform/posix/machine/form.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/machine/registry_file.h"
#include "platform/posix/os/sys.h"

#include <cstdlib>
#include <cstring>

namespace win95
{
namespace
{

// The DOS path ("\WINDOWS\INF\OEM0.INF") of a path of the drive.
std::string DosPath(const DrivePath& path)
{
    std::string dosPath;
    for (const std::string& part : path)
        dosPath += "\\" + part;
    return dosPath.empty() ? "\\" : dosPath;
}

class DiskDrive final : public Drive
{
  public:
    explicit DiskDrive(DiskInstallation& installation) : installation_(installation) {}

    bool Exists(const DrivePath& path) override
    {
        const std::string dosPath = DosPath(path);
        Fault fault;
        return installation_.Staged(dosPath) || installation_.Disk().Exists(dosPath, fault);
    }

    int OpenForReading(const DrivePath& path) override
    {
        std::string bytes;
        Fault fault;
        if (!installation_.Disk().ReadFile(DosPath(path), bytes, fault))
            return -1;
        int fd = sys::MemfdCreate("read");
        if (fd >= 0 &&
            sys::WriteAt(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        {
            sys::Close(fd);
            fd = -1;
        }
        return fd;
    }

    int OpenForWriting(const DrivePath& path) override
    {
        const std::string dosPath = DosPath(path);
        Fault fault;
        return installation_.Disk().Exists(dosPath, fault) ? -1 : installation_.Stage(dosPath);
    }

    bool Remove(const DrivePath& path) override
    {
        const std::string dosPath = DosPath(path);
        Fault fault;
        return installation_.Discard(dosPath) || installation_.Disk().Remove(dosPath, fault);
    }

  private:
    DiskInstallation& installation_;
};

class DiskForm final : public MachineForm
{
  public:
    DiskForm(std::unique_ptr<DiskInstallation> installation, const std::string& image)
        : installation_(std::move(installation)),
          registry_(image + ": C:" + installation_->SystemDat()), drive_(*installation_)
    {
    }

    std::unique_ptr<Storage> ReadRegistry() override
    {
        std::string bytes;
        Fault fault;
        if (!installation_->ReadRegistry(bytes, fault))
        {
            Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
            return nullptr;
        }
        sys::CheckMemory();
        std::unique_ptr<Storage> registry = Win9xRegistryFrom(std::move(bytes), registry_);
        read_ = registry != nullptr;
        return registry;
    }

    std::string WindowsDirectory() const override
    {
        const std::string& windows = installation_->WindowsDirectory();
        return windows.empty() ? "C:\\WINDOWS" : "C:" + windows;
    }

    Drive* DriveC() override
    {
        return read_ ? &drive_ : nullptr;
    }

    bool Commit(Storage& registry) override
    {
        Fault fault;
        if (installation_->Save(registry, fault))
            return true;
        Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
        return false;
    }

    std::vector<std::string> Placed() const override
    {
        std::vector<std::string> paths;
        for (const std::string& dosPath : installation_->StagedPaths())
            paths.push_back("C:" + dosPath);
        return paths;
    }

    void Abandon() override {}

    const std::string& RegistryPath() const
    {
        return registry_;
    }

  private:
    std::unique_ptr<DiskInstallation> installation_;
    std::string registry_; // SYSTEM.DAT, as messages name it
    DiskDrive drive_;
    bool read_ = false; // the registry has been read: C: may be used
};

// WIN95PARTITION: 1 to 4, or unset or empty for the partition that holds
// Windows. Anything else is refused in one line, the value shown with its
// control characters as '?' so that the line stays one.
bool PartitionNumber(const std::string& image, int& number)
{
    const char* text = std::getenv("WIN95PARTITION");
    number = 0;
    if (text == nullptr || text[0] == '\0')
        return true;
    if (text[0] >= '1' && text[0] <= '4' && text[1] == '\0')
    {
        number = text[0] - '0';
        return true;
    }
    std::string shown(text, strnlen(text, 40));
    for (char& c : shown)
        c = static_cast<unsigned char>(c) < ' ' || c == 0x7F ? '?' : c;
    Complain("%s: WIN95PARTITION=%s%s names no partition: give 1, 2, 3 or 4, or leave it empty for "
             "the partition that holds Windows",
             image.c_str(), shown.c_str(), std::strlen(text) > shown.size() ? "..." : "");
    return false;
}

} // namespace

std::unique_ptr<MachineForm> DiskImageForm(const std::string& image)
{
    int partition = 0;
    if (!PartitionNumber(image, partition))
        return nullptr;
    Fault fault;
    bool finished = false;
    std::unique_ptr<DiskInstallation> installation =
        DiskInstallation::Open(image, partition, fault, finished);
    if (!installation)
    {
        Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
        return nullptr;
    }
    auto form = std::make_unique<DiskForm>(std::move(installation), image);
    if (finished)
        Tell("%s: finished the registry save that an earlier run left half done",
             form->RegistryPath().c_str());
    return form;
}

} // namespace win95
