// Throw-away machines, process runs and image comparison for the tests.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace support
{

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The text of a fixture file under tests/fixtures.
std::string Fixture(const std::string& name);
// A built program, by name.
std::string Program(const std::string& name);

// A new empty temporary folder, removed by nobody (the system's /tmp).
std::string TempDir();
// A machine folder that does not exist yet: first use creates the default machine.
std::string FreshMachine();
// A machine folder with this registry image and drive_c/WINDOWS/{INF,SYSTEM}.
std::string MachineWithImage(const std::string& image);
std::string ImageOf(const std::string& machine);
// The image's HKEY_LOCAL_MACHINE as a SYSTEM.DAT.
std::string SystemDatOf(const std::string& image);
// A folder that is a Windows 9x C: drive: MSDOS.SYS naming C:\<windows>
// as the Windows directory, and there INF\ and SYSTEM.DAT made from the
// image's HKEY_LOCAL_MACHINE.
std::string InstallationWithImage(const std::string& image, const std::string& windows = "WIN98");
// A SYSTEM.DAT as REGEDIT4 text.
std::string InstallationText(const std::string& systemDat);
// The machine's C:\WINDOWS\INF folder.
std::string InfDir(const std::string& machine);
// Every entry of the folder, by name, with the bytes of the files ("<dir>"
// for a folder, "-> target" for a symbolic link).
std::map<std::string, std::string> Entries(const std::string& dir);

struct RunResult
{
    int exitStatus = -1; // -1 when the program did not exit normally
    std::string errorOutput;
    std::string output; // standard output
};

// The argument and environment vectors that run a program on the machine:
// this process's environment with WIN95PREFIX set to the machine, and
// extraEnv's NAME=VALUE entries set in place of the process's own. The
// vectors point into the object, so it is neither copied nor moved.
struct ChildCommand
{
    ChildCommand(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& machine, const std::vector<std::string>& extraEnv = {});
    ChildCommand(const ChildCommand&) = delete;
    ChildCommand& operator=(const ChildCommand&) = delete;

    std::vector<std::string> env;
    std::vector<char*> argv; // ends with a null pointer
    std::vector<char*> envp; // ends with a null pointer
};

// Runs a program with these arguments on the machine; extraEnv holds
// NAME=VALUE entries added to the environment.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const std::string& machine, const std::vector<std::string>& extraEnv = {});

// The sections of a REGEDIT4 text: the preamble first, then each section
// from its key line up to the next key line.
struct Section
{
    std::string header; // the key line without brackets; empty for the preamble
    std::string text;   // every byte of the section
};
std::vector<Section> SplitSections(const std::string& image);

// Checks that `after` is `before` changed exactly as the golden fragment
// says: every section of the fragment stands in `after` byte for byte, a
// "[-key]" line says that section and those below it are gone, and every
// other section of `before` is unchanged and in its old order.
void ExpectImageChange(const std::string& before, const std::string& after,
                       const std::string& fragment);

} // namespace support
