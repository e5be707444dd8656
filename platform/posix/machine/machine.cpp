#include "platform/posix/machine/machine.h"

#include "platform/posix/machine/form.h"
#include "platform/posix/machine/host_drive.h"
#include "platform/posix/machine/messages.h"
#include "platform/posix/machine/save.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/recorder.h"

#include <cstdio>
#include <memory>

namespace win95
{
namespace
{

// The machine of this run: taken at first use, held until the commit.
struct Machine
{
    bool taken = false;                // the first use has happened
    std::string name;                  // what WIN95PREFIX names, for messages
    std::unique_ptr<MachineForm> form; // null when the machine cannot be taken
    bool read = false;                 // the registry has been read (successfully or not)
    std::unique_ptr<Storage> registry;
    ChangeRecorder* recorder = nullptr; // the registry, when the run reports what it changes
};

Machine machine;

MachineForm* Form()
{
    if (!machine.taken)
    {
        machine.taken = true;
        machine.form = TakeMachine(machine.name);
    }
    return machine.form.get();
}

bool DryRun()
{
    return Asked("WIN95DRYRUN");
}

// What the run changed, or in a dry run would change, on standard output:
// the registry's keys and values, then each file placed on C:. A report
// that cannot be written is said, since the user asked for it.
void ReportChanges()
{
    if (machine.recorder == nullptr)
        return;
    std::string text = machine.recorder->Report();
    for (const std::string& path : machine.form->Placed())
        text += "placed " + path + "\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    if (std::fflush(stdout) != 0 || !written)
        Complain("standard output: cannot write the report of what the run changed: %s",
                 sys::Reason());
}

} // namespace

Storage* MachineRegistry()
{
    MachineForm* form = Form();
    if (!machine.read && form != nullptr)
    {
        machine.read = true;
        machine.registry = form->ReadRegistry();
        if (machine.registry && (Asked("WIN95REPORT") || DryRun()))
        {
            auto recorder = std::make_unique<ChangeRecorder>(std::move(machine.registry));
            machine.recorder = recorder.get();
            machine.registry = std::move(recorder);
        }
    }
    return machine.registry.get();
}

std::string MachineWindowsDirectory()
{
    MachineForm* form = Form();
    return form != nullptr ? form->WindowsDirectory() : "C:\\WINDOWS";
}

Drive* MachineDrive(char letter)
{
    static HostDrive hostRoot;
    if (letter == 'Z')
        return &hostRoot;
    if (letter != 'C' || MachineRegistry() == nullptr)
        return nullptr;
    return machine.form->DriveC();
}

void CommitMachine()
{
    TerminationHeld held;
    if (DryRun())
    {
        ReportChanges();
        if (machine.recorder != nullptr)
            Complain("a dry run (WIN95DRYRUN): the machine was left as it was");
    }
    else if (machine.registry && machine.form->Commit(*machine.registry))
        ReportChanges();
    machine = Machine();
}

int MachineExitStatus()
{
    return RunExitStatus();
}

void AbandonMachine()
{
    TerminationHeld held;
    Complain("%s: out of memory; the machine was left as it was", machine.name.c_str());
    if (machine.form)
        machine.form->Abandon();
    machine = Machine();
}

} // namespace win95
