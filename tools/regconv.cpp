// regconv: converts a Windows 9x binary registry file (SYSTEM.DAT,
// USER.DAT) to REGEDIT4 text, and REGEDIT4 text to a binary registry file.
// The direction follows from the input's first bytes.
//
// The input is never harmed: an output that is the input (by name, link or
// hard link) is refused, and the output is written whole to a temporary
// file beside it and renamed over it only once written and flushed, so
// that a size limit, a full disk or a signal leaves the old output too.
#include "platform/posix/disk/qemu_view.h"
#include "platform/posix/machine/disk_installation.h"
#include "platform/posix/machine/installation.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"
#include "tools/convert.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

const char usage[] = "usage: regconv [--root KEY] [--drop-oversize] INPUT OUTPUT\n"
                     "       regconv --check FILE\n"
                     "  INPUT is a Windows 9x registry file (CREG) or REGEDIT4 text, or an\n"
                     "  installation as WIN95PREFIX names one (a C: drive folder, a disk\n"
                     "  image), whose SYSTEM.DAT is read;\n"
                     "  OUTPUT is written in the other form. - is standard input or output.\n"
                     "  --root KEY        the key the binary file holds: HKEY_LOCAL_MACHINE\n"
                     "                    (the default, SYSTEM.DAT) or HKEY_USERS (USER.DAT)\n"
                     "  --drop-oversize   leave out, naming each, values and keys longer than\n"
                     "                    Windows 9x allows, instead of stopping\n"
                     "  --check           names, one line each, every fault of a Windows 9x\n"
                     "                    registry FILE, and every counter or free list that\n"
                     "                    Windows could not safely allocate from; exits 1 when\n"
                     "                    it finds any\n"
                     "  --help, --version\n"
                     "OUTPUT may not be INPUT; it is replaced only once it is written whole.\n";

struct Options
{
    std::string root = "HKEY_LOCAL_MACHINE";
    bool dropOversize = false;
    bool check = false;
    std::vector<const char*> files; // INPUT and OUTPUT, or the FILE to check
};

enum class Request
{
    Convert,
    Check,
    Help,
    Version,
    Wrong,
};

Request WrongLine(const std::string& what)
{
    std::fprintf(stderr, "regconv: %s (regconv --help shows the usage)\n", what.c_str());
    return Request::Wrong;
}

// The root a binary file can hold, spelt as regedit spells it.
bool TakeRoot(const char* name, std::string& root)
{
    for (const char* known : {"HKEY_LOCAL_MACHINE", "HKEY_USERS"})
        if (win95::SameName(name, known))
        {
            root = known;
            return true;
        }
    WrongLine(std::string("--root ") + name +
              ": a Windows 9x registry file holds HKEY_LOCAL_MACHINE or HKEY_USERS");
    return false;
}

Request ReadCommandLine(int argc, char** argv, Options& options)
{
    bool optionsEnded = false;
    for (int at = 1; at < argc; ++at)
    {
        const std::string argument = argv[at];
        if (optionsEnded || argument == "-" || argument.compare(0, 2, "--") != 0)
            options.files.push_back(argv[at]);
        else if (argument == "--")
            optionsEnded = true;
        else if (argument == "--help")
            return Request::Help;
        else if (argument == "--version")
            return Request::Version;
        else if (argument == "--drop-oversize")
            options.dropOversize = true;
        else if (argument == "--check")
            options.check = true;
        else if (argument == "--root")
        {
            if (at + 1 == argc)
                return WrongLine("--root needs a key");
            if (!TakeRoot(argv[++at], options.root))
                return Request::Wrong;
        }
        else
            return WrongLine("unknown option " + argument);
    }
    if (options.check)
        return options.files.size() == 1 ? Request::Check : WrongLine("--check takes one FILE");
    if (options.files.size() != 2)
        return WrongLine("give an INPUT and an OUTPUT");
    return Request::Convert;
}

bool Fail(const char* file, const char* what)
{
    std::fprintf(stderr, "regconv: %s: %s\n", file, what);
    return false;
}

bool Fail(const char* file)
{
    return Fail(file, win95::sys::Reason());
}

// The input's bytes. A file must be a regular one: a named pipe would
// block the run, and a device has no end; standard input may be anything.
bool ReadInput(const char* path, std::string& bytes, struct stat& info)
{
    const bool standard = std::strcmp(path, "-") == 0;
    int fd = standard ? 0 : win95::sys::Open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return Fail(path);
    const bool known = fstat(fd, &info) == 0;
    if (!known || (!standard && !S_ISREG(info.st_mode)))
    {
        if (!standard)
        {
            win95::sys::CauseKept kept;
            win95::sys::Close(fd);
        }
        return known ? Fail(path, "not a regular file (- reads standard input)") : Fail(path);
    }
    if (!standard)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char buffer[1 << 16];
    ssize_t got;
    while ((got = win95::sys::Read(fd, buffer, sizeof buffer)) != 0)
    {
        if (got < 0 && win95::sys::FailedFor(EINTR))
            continue;
        if (got < 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    if (!standard)
    {
        win95::sys::CauseKept kept;
        win95::sys::Close(fd);
    }
    return got == 0 || Fail(path);
}

// Whether the input names a Windows 9x installation, as WIN95PREFIX may:
// a folder (its C: drive), or an emulator's disk image, which starts with
// a boot sector or is in one of QEMU's formats.
bool IsInstallation(const char* path)
{
    struct stat info;
    if (std::strcmp(path, "-") == 0 || stat(path, &info) != 0)
        return false;
    if (S_ISDIR(info.st_mode))
        return true;
    const int fd = win95::sys::Open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0 || !S_ISREG(info.st_mode))
    {
        if (fd >= 0)
            win95::sys::Close(fd);
        return false;
    }
    unsigned char start[512] = {};
    const bool read = win95::sys::ReadAt(fd, start, sizeof start, 0) == sizeof start;
    const bool qemu = !win95::QemuFormatOf(fd, info.st_size).empty();
    win95::sys::Close(fd);
    return qemu ||
           (read && std::memcmp(start, "CREG", 4) != 0 && start[510] == 0x55 && start[511] == 0xAA);
}

// The SYSTEM.DAT of the installation the input names.
bool ReadInstallation(const char* path, std::string& bytes, struct stat& info)
{
    if (stat(path, &info) != 0)
        return Fail(path);
    std::string fault;
    if (S_ISDIR(info.st_mode))
    {
        win95::Installation found;
        if (!win95::FindInstallation(path, found, fault))
            return Fail(path, fault.c_str());
        struct stat file;
        return ReadInput(found.systemDat.c_str(), bytes, file);
    }
    bool finished = false;
    win95::Fault failed;
    std::unique_ptr<win95::DiskInstallation> disk =
        win95::DiskInstallation::Open(path, 0, failed, finished);
    if (disk == nullptr || !disk->ReadRegistry(bytes, failed))
    {
        std::fprintf(stderr, "regconv: %s: %s\n", failed.where.c_str(), failed.what.c_str());
        return false;
    }
    return true;
}

// The temporary file being written, removed when a signal ends the run.
char pendingTemporary[PATH_MAX + 16];

void RemovePendingAndDie(int signal)
{
    if (pendingTemporary[0] != '\0')
        unlink(pendingTemporary);
    std::signal(signal, SIG_DFL);
    raise(signal);
}

// Where the output goes: standard output, or the file a symbolic link
// names (so that the link stays) with the mode the new file gets.
struct Output
{
    const char* path = nullptr;
    bool standard = false;
    std::string target;
    mode_t mode = 0;
    uid_t owner = static_cast<uid_t>(-1); // an existing output's, to keep; -1 for a new one
    gid_t group = static_cast<gid_t>(-1);
};

// Refuses the input itself and anything but a regular file, before any
// work is done.
bool CheckOutput(Output& output, const struct stat& input)
{
    struct stat info;
    output.standard = std::strcmp(output.path, "-") == 0;
    if (output.standard)
        return fstat(1, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != input.st_dev ||
               info.st_ino != input.st_ino || Fail("-", "standard output is the input file");
    if (stat(output.path, &info) != 0)
    {
        if (!win95::sys::FailedFor(ENOENT))
            return Fail(output.path);
        struct stat link;
        if (lstat(output.path, &link) == 0)
            return Fail(output.path, "a symbolic link to nothing");
        output.target = output.path;
        const mode_t mask = umask(0);
        umask(mask);
        output.mode = 0666 & ~mask;
        return true;
    }
    if (!S_ISREG(info.st_mode))
        return Fail(output.path, "not a regular file (- writes standard output)");
    if (info.st_dev == input.st_dev && info.st_ino == input.st_ino)
        return Fail(output.path, "is the input file; give another OUTPUT");
    // A file this user may not write is not replaced either.
    if (access(output.path, W_OK) != 0)
        return Fail(output.path);
    char resolved[PATH_MAX];
    if (realpath(output.path, resolved) == nullptr)
        return Fail(output.path);
    output.target = resolved;
    output.mode = info.st_mode & 07777;
    output.owner = info.st_uid;
    output.group = info.st_gid;
    return true;
}

bool Produce(win95::Hive9x& hive, const std::string& root, bool toText, int fd)
{
    auto put = [fd](const char* data, std::size_t size)
    { return win95::sys::WriteAll(fd, data, size); };
    return toText ? regconv::TextFromHive(hive, root, put) : hive.Write(put);
}

// Gives the new file the old output's owner and group where they differ;
// false where that is not allowed, so that no output changes hands.
bool KeepOwner(int fd, const Output& output)
{
    struct stat made;
    if (fstat(fd, &made) != 0)
        return false;
    const bool sameOwner = output.owner == static_cast<uid_t>(-1) || output.owner == made.st_uid;
    const bool sameGroup = output.group == static_cast<gid_t>(-1) || output.group == made.st_gid;
    return (sameOwner && sameGroup) || fchown(fd, output.owner, output.group) == 0;
}

// Writes a new file beside the target, flushes it and renames it over the
// target; on any failure removes it and leaves the target as it was.
bool WriteOutput(const Output& output, win95::Hive9x& hive, const std::string& root, bool toText)
{
    if (output.standard)
        return Produce(hive, root, toText, 1) || Fail("-");
    const std::string temporary = output.target + ".regconv-XXXXXX";
    if (temporary.size() >= sizeof pendingTemporary)
        return Fail(output.path, "name too long");
    // The name is complete before a signal's handler can see it.
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &before);
    std::memcpy(pendingTemporary, temporary.c_str(), temporary.size() + 1);
    int fd = mkstemp(pendingTemporary);
    if (fd < 0)
        pendingTemporary[0] = '\0';
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (fd < 0)
        return Fail(output.path);
    bool written = KeepOwner(fd, output) && fchmod(fd, output.mode) == 0 &&
                   Produce(hive, root, toText, fd) && win95::sys::Fsync(fd) == 0;
    if (written)
        written = win95::sys::Close(fd) == 0;
    else
    {
        win95::sys::CauseKept kept;
        win95::sys::Close(fd);
    }
    if (written && win95::sys::Rename(pendingTemporary, output.target.c_str()) == 0)
    {
        pendingTemporary[0] = '\0';
        return true;
    }
    {
        win95::sys::CauseKept kept;
        win95::sys::Unlink(pendingTemporary);
        pendingTemporary[0] = '\0';
    }
    return Fail(output.path);
}

// One line for each fault; a header word that only differs from what
// Windows writes is named as such.
int CheckFile(const char* path)
{
    std::string bytes;
    struct stat info;
    if (!ReadInput(path, bytes, info))
        return 1;
    const std::vector<win95::Hive9xFinding> problems = win95::Hive9x::Check(std::move(bytes));
    for (const win95::Hive9xFinding& problem : problems)
        std::printf("%s: %s: %s%s\n", path, problem.fault.where.c_str(), problem.fault.what.c_str(),
                    problem.unusual ? " (the programs keep it as it is)" : "");
    if (problems.empty())
        std::printf("%s: sound\n", path);
    return problems.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    switch (ReadCommandLine(argc, argv, options))
    {
    case Request::Help:
        std::fputs(usage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case Request::Version:
        std::printf("regconv (Tavrine printer tools) %s\n", TAVRINE_VERSION);
        return std::fflush(stdout) == 0 ? 0 : 1;
    case Request::Wrong:
        return 2;
    case Request::Check:
        return CheckFile(options.files[0]);
    case Request::Convert:
        break;
    }
    // Past the file size limit a write fails, and the run says so, instead
    // of ending with the output half written.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(signal, RemovePendingAndDie);

    const char* input = options.files[0];
    Output output;
    output.path = options.files[1];
    std::string bytes;
    struct stat inputInfo;
    const bool installation = IsInstallation(input);
    if (!(installation ? ReadInstallation(input, bytes, inputInfo)
                       : ReadInput(input, bytes, inputInfo)) ||
        !CheckOutput(output, inputInfo))
        return 1;

    std::unique_ptr<win95::Hive9x> hive;
    const bool binary = bytes.compare(0, 4, "CREG") == 0;
    if (binary)
    {
        win95::Fault error;
        hive = win95::Hive9x::Read(std::move(bytes), error);
        if (hive == nullptr)
        {
            std::fprintf(stderr, "regconv: %s: %s: %s\n", input, error.where.c_str(),
                         error.what.c_str());
            return 1;
        }
    }
    else
    {
        std::vector<std::string> messages;
        hive = regconv::HiveFromText(bytes, options.root, options.dropOversize, messages);
        for (const std::string& message : messages)
            std::fprintf(stderr, "regconv: %s: %s\n", input, message.c_str());
        if (hive == nullptr)
            return 1;
    }

    return WriteOutput(output, *hive, options.root, binary) ? 0 : 1;
}
