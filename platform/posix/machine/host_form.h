// What the two forms that are host folders share: the folder, open and
// locked for the run; a registry file replaced by a save (save.h); and C:,
// a folder of it (host_drive.h), whose new files are placed once the
// registry is saved.
#pragma once

#include "platform/posix/machine/form.h"
#include "platform/posix/machine/host_drive.h"
#include "platform/posix/machine/save.h"

#include <memory>
#include <string>

namespace win95
{

class HostFolderForm : public MachineForm
{
  public:
    ~HostFolderForm() override;
    HostFolderForm(const HostFolderForm&) = delete;
    HostFolderForm& operator=(const HostFolderForm&) = delete;

    Drive* DriveC() override;
    bool Commit(Storage& registry) override;
    std::vector<std::string> Placed() const override;
    void Abandon() override;

  protected:
    // The folder, open and locked as `lock`, with C: at `driveC`.
    HostFolderForm(int lock, std::string driveC);

    // Opens C:, once the registry has been read.
    void OpenDriveC();
    // What a save does first; false once it has said why the registry
    // cannot be saved.
    virtual bool BeforeSave();
    // The line that says the registry could not be read, when known
    // before reading it; false when nothing is known against it.
    bool SayFault() const;

    int lock_;             // the folder, open and locked
    std::string driveC_;   // host path of drive C:
    std::string registry_; // the registry file, for reading it and for messages
    std::string fault_;    // why the registry cannot be read, when known before reading it
    SaveTarget target_;    // the file a save replaces
    std::unique_ptr<HostDrive> drive_;
};

} // namespace win95
