#include "platform/posix/machine/host_form.h"

#include "platform/posix/machine/mapped_image.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/os/sys.h"

#include <fcntl.h>

namespace win95
{

HostFolderForm::HostFolderForm(int lock, std::string driveC)
    : lock_(lock), driveC_(std::move(driveC))
{
}

HostFolderForm::~HostFolderForm()
{
    drive_.reset();
    ReleaseImageMapping();
    sys::Close(lock_);
}

Drive* HostFolderForm::DriveC()
{
    return drive_.get();
}

void HostFolderForm::OpenDriveC()
{
    int root = sys::Open(driveC_.c_str(), O_PATH | O_DIRECTORY);
    if (root >= 0)
        drive_ = std::make_unique<HostDrive>(driveC_, root);
}

bool HostFolderForm::BeforeSave()
{
    return true;
}

bool HostFolderForm::SayFault() const
{
    if (fault_.empty())
        return false;
    Complain("%s: cannot read the registry image: %s", registry_.c_str(), fault_.c_str());
    return true;
}

bool HostFolderForm::Commit(Storage& registry)
{
    bool saved = !registry.Changed();
    if (!saved)
    {
        saved = BeforeSave() &&
                WriteTemporary(target_,
                               [&registry](const WriteSink& write)
                               {
                                   if (!registry.Write(write))
                                       return false;
                                   LetGoOfImageMapping();
                                   return true;
                               }) &&
                ReplaceWithTemporary(target_);
        if (!saved)
            Complain("%s: cannot save the registry image: %s", registry_.c_str(), sys::Reason());
    }
    if (saved && drive_)
        drive_->PlaceFiles();
    return saved;
}

std::vector<std::string> HostFolderForm::Placed() const
{
    return drive_ ? drive_->Placed() : std::vector<std::string>();
}

void HostFolderForm::Abandon()
{
    sys::Unlink(target_.temporary.c_str());
    if (drive_)
        drive_->DropFiles();
}

} // namespace win95
