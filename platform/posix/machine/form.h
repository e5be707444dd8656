// A machine's form: where its registry and its C: drive are kept. There
// are three, each in a file of its own: the emulated machine folder
// (registry.reg and drive_c/, machine_folder.cpp), a folder that is the
// C: drive of a Windows 9x installation (installation_folder.cpp), and a
// disk image holding such an installation (disk_form.cpp). TakeMachine
// (pick.cpp) is the one place that picks the form.
#pragma once

#include "platform/posix/machine/drive.h"
#include "platform/posix/storage/storage.h"

#include <memory>
#include <string>
#include <vector>

namespace win95
{

class MachineForm
{
  public:
    virtual ~MachineForm() = default;

    // The registry, read and checked in full; null once the fault has been said.
    virtual std::unique_ptr<Storage> ReadRegistry() = 0;
    // The Windows directory ("C:\WINDOWS", or what MSDOS.SYS names).
    virtual std::string WindowsDirectory() const = 0;
    // C:, once the registry has been read; null when it cannot be used.
    virtual Drive* DriveC() = 0;
    // Saves the registry if it changed, and then places the files the run
    // wrote on C:; false once it has said what was not saved.
    virtual bool Commit(Storage& registry) = 0;
    // The Windows paths of the files the run placed, or would place, on C:.
    virtual std::vector<std::string> Placed() const = 0;
    // Leaves the machine as it was, for a run out of memory; the rest is
    // let go when the form is destroyed.
    virtual void Abandon() = 0;
};

// The machine WIN95PREFIX names (default $HOME/.win95), taken for this
// run in its form: locked, and a new folder made the default machine.
// `name` is set to the name either way; null once it has been said why
// the machine cannot be taken.
std::unique_ptr<MachineForm> TakeMachine(std::string& name);

// The forms, as TakeMachine makes them: a machine folder or a Windows 9x
// C: folder held open and locked as `lock`; `fault`, when not empty, says
// why the folder's registry cannot be read. Null once a fault has been said.
std::unique_ptr<MachineForm> MachineFolderForm(const std::string& folder, int lock,
                                               const std::string& fault);
std::unique_ptr<MachineForm> InstallationFolderForm(const std::string& folder, int lock);
std::unique_ptr<MachineForm> DiskImageForm(const std::string& image);

// Creates every missing folder of the path; existing ones are left alone.
bool MakeFolders(const std::string& path);

} // namespace win95
