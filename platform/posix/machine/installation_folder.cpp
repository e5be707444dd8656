// A folder that is the C: drive of a Windows 9x installation: the folder
// is C:, and the registry is SYSTEM.DAT in the Windows directory that
// MSDOS.SYS names, replaced by a new file of the same folder.
#include "platform/posix/machine/host_form.h"

#include "platform/posix/machine/installation.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/machine/registry_file.h"
#include "platform/posix/os/sys.h"

#include <cerrno>
#include <sys/stat.h>

namespace win95
{
namespace
{

class InstallationFolder final : public HostFolderForm
{
  public:
    InstallationFolder(const std::string& folder, int lock) : HostFolderForm(lock, folder)
    {
        registry_ = folder;
    }

    void Take()
    {
        std::string fault;
        if (!FindInstallation(driveC_, windows_, fault))
        {
            fault_ = fault;
            return;
        }
        registry_ = target_.path = windows_.systemDat;
        target_.temporary = windows_.temporary;
        // A run that ended before its commit may have left its new SYSTEM.DAT.
        sys::Unlink(target_.temporary.c_str());
    }

    // Reads SYSTEM.DAT whole and checks all of it.
    std::unique_ptr<Storage> ReadRegistry() override
    {
        if (SayFault())
            return nullptr;
        struct stat info;
        int fd = OpenRegistryFile(registry_, target_, info);
        std::string bytes;
        if (fd < 0 ||
            !ReadRegistryFile(registry_, fd, static_cast<std::size_t>(info.st_size), bytes))
            return nullptr;
        std::unique_ptr<Storage> registry = Win9xRegistryFrom(std::move(bytes), registry_);
        if (registry)
            OpenDriveC();
        return registry;
    }

    std::string WindowsDirectory() const override
    {
        return windows_.windows.empty() ? "C:\\WINDOWS" : "C:" + windows_.windows;
    }

  private:
    bool BeforeSave() override
    {
        if (windows_.backupFault.empty())
            return KeepPreviousRegistry();
        Complain("%s: the registry was not saved: %s is %s, where the copy of SYSTEM.DAT from "
                 "before the first change is kept; move it away and run again",
                 registry_.c_str(), windows_.backup.c_str(), windows_.backupFault.c_str());
        return false;
    }

    // Before the first save, SYSTEM.DAT is kept as SYSTEM.TVB, a name
    // Windows does not use; an existing one is never replaced, so that it
    // keeps the registry as it was before any run. A second name for the
    // file costs nothing and leaves it whole at every step; where the file
    // system cannot give one (FAT has no such names), the file is copied
    // through the temporary file and renamed.
    bool KeepPreviousRegistry()
    {
        if (windows_.backupExists)
            return true;
        const char* previous = windows_.systemDat.c_str();
        const char* backup = windows_.backup.c_str();
        struct stat entry;
        if (sys::Link(previous, backup) == 0 ||
            (sys::FailedFor(EEXIST) && sys::Lstat(backup, &entry) == 0 && S_ISREG(entry.st_mode)))
            return true;
        struct stat info;
        int fd = OpenRegistryFile(registry_, target_, info);
        if (fd < 0)
            return false;
        bool copied = WriteTemporary(target_,
                                     [fd](const WriteSink& write)
                                     {
                                         char piece[65536];
                                         for (;;)
                                         {
                                             ssize_t got = sys::Read(fd, piece, sizeof piece);
                                             if (got < 0 && sys::FailedFor(EINTR))
                                                 continue;
                                             if (got <= 0)
                                                 return got == 0;
                                             if (!write(piece, static_cast<std::size_t>(got)))
                                                 return false;
                                         }
                                     });
        {
            sys::CauseKept kept;
            sys::Close(fd);
        }
        return copied && sys::Rename(target_.temporary.c_str(), backup) == 0;
    }

    Installation windows_; // the Windows directory and the registry files
};

} // namespace

std::unique_ptr<MachineForm> InstallationFolderForm(const std::string& folder, int lock)
{
    auto form = std::make_unique<InstallationFolder>(folder, lock);
    form->Take();
    return form;
}

} // namespace win95
