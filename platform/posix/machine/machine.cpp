#include "platform/posix/machine/machine.h"

#include "platform/posix/api/paths.h"
#include "platform/posix/machine/disk_installation.h"
#include "platform/posix/machine/installation.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/recorder.h"
#include "platform/posix/storage/regedit4/image.h"
#include "platform/posix/storage/regedit4/storage.h"
#include "platform/posix/storage/win9x/storage.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <pwd.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace win95
{

extern const unsigned char defaultMachine[];
extern const std::size_t defaultMachineSize;

namespace
{

// The largest image a machine reads. The image of a real Windows 95
// machine is a few megabytes; reading one takes about its size again in
// memory, so a larger file is far more likely a mistake than a registry,
// and is refused before any of it is read.
const off_t maxImageSize = off_t{1} << 30;

// A new file the run places on C:. It has no name until the commit, when
// it gets one if the image was saved; where the file system cannot make
// a file without a name, it is made under its name and removed again if
// the image cannot be saved.
struct PlacedFile
{
    int folder = -1;        // the folder that gets it, open
    std::string folderPath; // that folder, below drive C: (as paths.h gives it)
    std::string name;       // its name there
    std::string hostPath;   // its host path, for messages
    int fd = -1;            // the file, open
    bool named = false;     // made under its name already
};

// The machine of this run: taken at first use, held until the commit.
// It is a machine folder (registry.reg and drive_c), or a folder that is
// the C: drive of a Windows 9x installation (its SYSTEM.DAT, and the
// folder itself as C:).
struct Machine
{
    bool taken = false;        // the first use has happened
    bool installation = false; // the folder is a Windows 9x C: drive
    Installation windows;      // its Windows directory and registry files
    bool imageLoaded = false;  // the image has been read (successfully or not)
    int lockFd = -1;           // the machine folder, open and locked; -1 if it could not be taken
    int driveCFd = -1;         // drive C:'s folder, open once the image has been read
    std::string folder;        // host path of the machine folder
    std::string driveC;        // host path of drive C:
    std::string registryPath;  // the registry file, for reading it and for messages
    std::string savePath;      // the file a save replaces: registry.reg, or the file it links to
    std::string temporary;     // the temporary image, beside savePath
    std::string imageFault;    // why the image cannot be read, when known before reading it
    bool imageKnown = false;   // the image existed, so that its owner and mode are kept
    uid_t owner = 0; // owner, group and permission bits of the image, which the save keeps
    gid_t group = 0;
    mode_t mode = 0;
    std::unique_ptr<Storage> registry;
    ChangeRecorder* recorder = nullptr; // the registry, when the run reports what it changes
    std::vector<PlacedFile> placed;
    std::unique_ptr<DiskInstallation> disk; // the disk image that holds the installation
};

Machine machine;

// The image file stays mapped for the whole run. Should another program,
// ignoring the machine's lock, cut it short meanwhile, reading the part it
// lost raises SIGBUS: the run then ends as a run on an unreadable image
// does, with one line and exit status 0, and the image is not rewritten.
struct MappedImage
{
    const char* begin = nullptr; // the mapping
    std::size_t size = 0;
    int fd = -1;             // the image file, open for the save to copy from
    char message[4096] = ""; // the line that says it was cut short, made in advance
    std::size_t messageLength = 0;
    int exitStatus = 0; // the run's, when it ends that way
    std::thread letGo;  // lets go of the image's pages once the new image is written
};

MappedImage mapped;

// Termination signals wait while the machine's files change, so that the
// change ends, and no temporary file is left behind, before they act.
class TerminationHeld
{
  public:
    TerminationHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
            sigaddset(&held, signal);
        sigprocmask(SIG_BLOCK, &held, &before_);
    }
    TerminationHeld(const TerminationHeld&) = delete;
    TerminationHeld& operator=(const TerminationHeld&) = delete;
    ~TerminationHeld()
    {
        sigprocmask(SIG_SETMASK, &before_, nullptr);
    }

  private:
    sigset_t before_;
};

std::string ImagePath()
{
    return machine.folder + "/registry.reg";
}

// Set once the run has said that the machine refused it or that something
// could not be saved: WIN95STRICT=1 then makes the exit status 1.
bool runFailed = false;

// WIN95STRICT, WIN95REPORT and WIN95DRYRUN ask for what they name when set to 1.
bool Asked(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool StrictRequested()
{
    return Asked("WIN95STRICT");
}

__attribute__((format(printf, 1, 0))) void Say(const char* format, va_list arguments)
{
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
}

// One line per run, headed by the program's name as Unix tools do, so
// that it stands apart from the remover's trace on the same stream: a
// fault that leads to others (no default machine, so no image to read) is
// reported where it began. Writes without allocating memory.
__attribute__((format(printf, 1, 2))) void Complain(const char* format, ...)
{
    static bool complained = false;
    runFailed = true;
    if (complained)
        return;
    complained = true;
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
}

// A line about something the run did that is no fault.
__attribute__((format(printf, 1, 2))) void Tell(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
}

// The machine WIN95PREFIX names; `chosen` when that is not the default
// $HOME/.win95.
std::string MachineFolderName(bool& chosen)
{
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
    {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : "/";
    }
    const std::string standard = std::string(home) + "/.win95";
    const char* prefix = std::getenv("WIN95PREFIX");
    chosen = prefix != nullptr && prefix[0] != '\0' && standard != prefix;
    return chosen ? prefix : standard;
}

bool EndsWith(const std::string& name, const char* end)
{
    const std::size_t length = std::strlen(end);
    return name.size() > length && strcasecmp(name.c_str() + name.size() - length, end) == 0;
}

bool LooksLikeDiskImage(const std::string& name)
{
    for (const char* extension :
         {".img", ".ima", ".hdd", ".vhd", ".vhdx", ".qcow2", ".vdi", ".vmdk", ".raw"})
        if (EndsWith(name, extension))
            return true;
    return false;
}

// What a registry file of that name is kept in; null for any other name.
const char* RegistryFileHolder(const std::string& name)
{
    if (strcasecmp(name.c_str(), "SYSTEM.DAT") == 0)
        return "the folder that is the C: drive (the one that holds the Windows directory)";
    if (strcasecmp(name.c_str(), "registry.reg") == 0)
        return "the machine folder that holds it";
    return nullptr;
}

// Why WIN95PREFIX names nothing a run may use; empty when it does. A new
// machine folder is made only where a user would expect one: at the
// default place, or as a new folder in one that exists, under a name
// that is not a disk image's; anything else that is missing is far more
// likely a typing mistake or a disk that is not mounted.
std::string PrefixFault(std::string path, bool chosen)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string name = path.substr(path.rfind('/') + 1);
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
    {
        const char* holder = RegistryFileHolder(name);
        if (S_ISREG(info.st_mode) && holder != nullptr)
            return std::string("it is a registry file, not a machine; name ") + holder;
        FolderKind kind = FolderKind::Machine;
        if (S_ISDIR(info.st_mode) && ReadFolderKind(path, kind) &&
            kind == FolderKind::WindowsDirectory)
            return "it is a Windows directory (it holds SYSTEM.DAT), not a C: drive; name the "
                   "folder that holds it";
        return "";
    }
    if (errno != ENOENT || !chosen)
        return "";
    // Another run may have made the machine folder since: it is taken then.
    if (lstat(path.c_str(), &info) == 0)
        return S_ISLNK(info.st_mode) ? "it is a symbolic link to something that does not exist"
                                     : "";
    if (path[0] == '~')
        return "there is no such file or folder: the shell leaves a quoted ~ as it is; write "
               "$HOME instead";
    if (const char* holder = RegistryFileHolder(name))
        return std::string("there is no such registry file; name ") + holder;
    if (LooksLikeDiskImage(name))
        return "there is no such disk image; check the name (a new machine folder is never made "
               "under a disk image's name)";
    if (strcasecmp(name.c_str(), "WINDOWS") == 0)
        return "there is no such Windows directory; name the folder that is the C: drive";
    const std::string parent = path.substr(0, path.size() - name.size());
    if (!parent.empty() && (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)))
        return "there is no such folder, nor the folder " + parent +
               " that would hold a new machine; create that first";
    return "";
}

// Creates every missing folder of the path; existing ones are left alone.
bool MakeFolders(const std::string& path)
{
    for (std::size_t at = 1; at <= path.size(); ++at)
    {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (sys::Mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// A piece of the text as it was read is copied by the kernel from the
// image file. Written from the mapping instead, 500 MB took 0.1 s right
// after the image was read but 1.2 to 1.5 s in most runs once half a
// second of parsing had passed (this machine pages its memory out behind
// the program's back); the kernel's copy took 0.13 to 0.16 s either way.
// Where the file system offers no such copy, the rest is written.
bool CopyFromImage(int fd, const char*& data, std::size_t& size)
{
    off64_t from = data - mapped.begin;
    while (size > 0)
    {
        ssize_t copied = sys::CopyRange(mapped.fd, &from, fd, size);
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0 &&
            (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL))
            return true;
        if (copied <= 0)
            return false;
        data += copied;
        size -= static_cast<std::size_t>(copied);
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    bool inImage = mapped.fd >= 0 && data >= mapped.begin && size <= mapped.size &&
                   static_cast<std::size_t>(data - mapped.begin) <= mapped.size - size;
    if (inImage && !CopyFromImage(fd, data, size))
        return false;
    return sys::WriteAll(fd, data, size);
}

constexpr off64_t WritebackChunk = off64_t(8) << 20;

// Writes the temporary image file in full and flushes it; the writer is
// called with a sink that appends to the file. The file gets the image's
// owner, group and mode; a new machine's image gets the umask's.
template <typename Writer> bool WriteTemporary(Writer writeContent)
{
    const char* temporary = machine.temporary.c_str();
    int fd = sys::Open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                       machine.imageKnown ? 0600 : 0644);
    if (fd < 0)
        return false;
    // Each few megabytes written (or copied) are sent on to the disk at
    // once, so that the flush below has only the last of them left to wait
    // for. Where that cannot be started, the flush still writes everything.
    off64_t written = 0;
    off64_t sent = 0;
    auto append = [fd, &written, &sent](const char* data, std::size_t size)
    {
        while (size > 0)
        {
            auto piece = static_cast<std::size_t>(
                std::min<off64_t>(static_cast<off64_t>(size), sent + WritebackChunk - written));
            if (!WriteAll(fd, data, piece))
                return false;
            data += piece;
            size -= piece;
            written += static_cast<off64_t>(piece);
            if (written - sent == WritebackChunk)
            {
                sys::StartWriteback(fd, sent, WritebackChunk);
                sent = written;
            }
        }
        return true;
    };
    bool complete = (!machine.imageKnown ||
                     sys::ChownChmod(fd, machine.owner, machine.group, machine.mode) == 0) &&
                    writeContent(append);
    bool flushed = complete && sys::Fsync(fd) == 0;
    int error = errno;
    bool closed = sys::Close(fd) == 0;
    if (flushed && closed)
        return true;
    error = flushed ? errno : error;
    sys::Unlink(temporary);
    errno = error;
    return false;
}

// Once the new image is written, the old one's pages are of no more use:
// a second thread lets go of them while the new image is flushed, instead
// of the run freeing them after the rename. Should anything read the
// mapping after that, it reads the file again.
bool LetGoOfImage()
{
    if (mapped.begin == nullptr)
        return true;
    try
    {
        mapped.letGo = std::thread(
            [begin = mapped.begin, size = mapped.size, fd = mapped.fd]
            {
                madvise(const_cast<char*>(begin), size, MADV_DONTNEED);
                posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            });
    }
    catch (const std::system_error&)
    {
    }
    return true;
}

// Puts the temporary file in place of the image and makes the rename
// durable, flushing the folder that holds the image.
bool ReplaceImage()
{
    if (sys::Rename(machine.temporary.c_str(), machine.savePath.c_str()) != 0)
    {
        int error = errno;
        sys::Unlink(machine.temporary.c_str());
        errno = error;
        return false;
    }
    if (machine.savePath == ImagePath())
        return sys::Fsync(machine.lockFd) == 0;
    std::string folder = machine.savePath.substr(0, machine.savePath.rfind('/') + 1);
    int fd = sys::Open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    bool flushed = fd >= 0 && sys::Fsync(fd) == 0;
    if (fd >= 0)
        sys::Close(fd);
    return flushed;
}

// A folder without an image becomes the default machine; nothing that is
// already there is overwritten.
bool CreateDefaultMachine()
{
    for (const char* folder : {"/drive_c/WINDOWS/INF", "/drive_c/WINDOWS/SYSTEM"})
        if (!MakeFolders(machine.folder + folder))
            return false;
    TerminationHeld held;
    bool written = WriteTemporary(
        [](const auto& write)
        { return write(reinterpret_cast<const char*>(defaultMachine), defaultMachineSize); });
    return written && ReplaceImage();
}

// Finds the file the image is. A link to an image elsewhere is followed:
// the save replaces the file it links to, so that the link stays. A link
// to nothing is an error, not a missing image: it often means a disk that
// is not mounted, and a default machine there would hide that.
void FindImage()
{
    std::string image = ImagePath();
    machine.savePath = image;
    machine.temporary = image + ".new";
    struct stat entry;
    if (lstat(image.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode))
        return;
    char* target = realpath(image.c_str(), nullptr);
    if (target == nullptr)
    {
        int error = errno;
        std::vector<char> link(4096);
        ssize_t length = readlink(image.c_str(), link.data(), link.size() - 1);
        std::string named = length > 0 ? std::string(link.data(), std::size_t(length)) : "";
        machine.imageFault = error == ENOENT ? "it is a link to " + named + ", which does not exist"
                                             : std::strerror(error);
        return;
    }
    machine.savePath = target;
    machine.temporary = machine.savePath + ".new";
    std::free(target);
}

// A Windows 9x C: drive: the folder is C:, and the registry is SYSTEM.DAT
// in the Windows directory, replaced by a new file of the same folder.
void TakeInstallation()
{
    machine.installation = true;
    machine.driveC = machine.folder;
    machine.registryPath = machine.folder;
    std::string fault;
    if (!FindInstallation(machine.folder, machine.windows, fault))
    {
        machine.imageFault = fault;
        return;
    }
    machine.registryPath = machine.savePath = machine.windows.systemDat;
    machine.temporary = machine.windows.temporary;
    // A run that ended before its commit may have left its new SYSTEM.DAT.
    sys::Unlink(machine.temporary.c_str());
}

// WIN95PARTITION: 1 to 4, or unset or empty for the partition that holds
// Windows. Anything else is refused in one line, the value shown with its
// control characters as '?' so that the line stays one.
bool PartitionNumber(int& number)
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
             machine.folder.c_str(), shown.c_str(), std::strlen(text) > shown.size() ? "..." : "");
    return false;
}

// A disk image file holding a Windows 9x installation, opened (and so
// locked) for the whole run.
void TakeDiskImage()
{
    machine.installation = true;
    machine.registryPath = machine.folder;
    int partition = 0;
    if (!PartitionNumber(partition))
        return;
    Fault fault;
    bool finished = false;
    machine.disk = DiskInstallation::Open(machine.folder, partition, fault, finished);
    if (!machine.disk)
    {
        Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
        return;
    }
    machine.windows.windows = machine.disk->WindowsDirectory();
    machine.registryPath = machine.folder + ": C:" + machine.disk->SystemDat();
    if (finished)
        Tell("%s: finished the registry save that an earlier run left half done",
             machine.registryPath.c_str());
}

void TakeMachine()
{
    if (machine.taken)
        return;
    machine.taken = true;
    bool chosen = false;
    machine.folder = MachineFolderName(chosen);
    const std::string fault = PrefixFault(machine.folder, chosen);
    if (!fault.empty())
    {
        Complain("%s: %s", machine.folder.c_str(), fault.c_str());
        return;
    }
    struct stat image;
    if (stat(machine.folder.c_str(), &image) == 0 && S_ISREG(image.st_mode))
    {
        TakeDiskImage();
        return;
    }
    machine.driveC = machine.folder + "/drive_c";
    if (!MakeFolders(machine.folder))
    {
        Complain("%s: cannot create the machine folder: %s", machine.folder.c_str(),
                 std::strerror(errno));
        return;
    }
    int fd = sys::Open(machine.folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || sys::Lock(fd) != 0)
    {
        Complain("%s: cannot take the machine: %s", machine.folder.c_str(), std::strerror(errno));
        if (fd >= 0)
            sys::Close(fd);
        return;
    }
    machine.lockFd = fd;
    FolderKind kind = FolderKind::Machine;
    if (!ReadFolderKind(machine.folder, kind))
    {
        machine.registryPath = machine.folder;
        machine.imageFault = std::strerror(errno);
        return;
    }
    if (kind == FolderKind::Installation)
    {
        TakeInstallation();
        return;
    }
    machine.registryPath = ImagePath();
    FindImage();
    if (!machine.imageFault.empty())
        return;
    // A run that ended before its commit may have left its temporary image.
    sys::Unlink(machine.temporary.c_str());
    struct stat entry;
    if (lstat(ImagePath().c_str(), &entry) != 0 && errno == ENOENT && !CreateDefaultMachine())
        Complain("%s: cannot create the default machine: %s", ImagePath().c_str(),
                 std::strerror(errno));
}

void OnBusError(int, siginfo_t* info, void*)
{
    const char* at = static_cast<const char*>(info->si_addr);
    if (at < mapped.begin || at >= mapped.begin + mapped.size)
    {
        // Not ours: the fault happens again, with the default action.
        signal(SIGBUS, SIG_DFL);
        return;
    }
    ssize_t written = write(2, mapped.message, mapped.messageLength);
    static_cast<void>(written);
    _exit(mapped.exitStatus);
}

void GuardMapping(std::string_view text)
{
    mapped.begin = text.data();
    mapped.size = text.size();
    int length = std::snprintf(mapped.message, sizeof mapped.message,
                               "%s: %s: the registry image was cut short by another program\n",
                               program_invocation_short_name, ImagePath().c_str());
    mapped.messageLength =
        std::min(sizeof mapped.message - 1, static_cast<std::size_t>(std::max(length, 0)));
    mapped.exitStatus = StrictRequested() ? 1 : 0;
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

// What keeps the file from being read as an image, found before reading
// any of it; null when nothing does.
const char* ImageFileFault(const struct stat& info, char* buffer, std::size_t capacity)
{
    if (S_ISDIR(info.st_mode))
        return "it is a folder, not a file";
    if (S_ISFIFO(info.st_mode))
        return "it is a named pipe, not a file";
    if (!S_ISREG(info.st_mode))
        return "it is a device or socket, not a file";
    if (info.st_size > maxImageSize)
    {
        std::snprintf(buffer, capacity,
                      "it is %lld bytes long, more than the %lld bytes (1 GiB) a machine reads",
                      static_cast<long long>(info.st_size), static_cast<long long>(maxImageSize));
        return buffer;
    }
    return nullptr;
}

// Opens the registry file for reading, and notes its owner, group and
// mode for the save. The file is checked before it is opened, so that
// neither a pipe nor a device is opened, and again once it is open,
// without waiting on it, in case it was swapped meanwhile. -1 once the
// fault has been reported.
int OpenRegistryFile(struct stat& info)
{
    const char* path = machine.registryPath.c_str();
    char buffer[128];
    const char* fault =
        stat(path, &info) != 0 ? std::strerror(errno) : ImageFileFault(info, buffer, sizeof buffer);
    int fd = -1;
    if (fault == nullptr)
    {
        fd = sys::Open(path, O_RDONLY | O_NONBLOCK);
        fault = fd < 0 || fstat(fd, &info) != 0 ? std::strerror(errno)
                                                : ImageFileFault(info, buffer, sizeof buffer);
    }
    if (fault != nullptr)
    {
        Complain("%s: cannot read the registry image: %s", path, fault);
        if (fd >= 0)
            sys::Close(fd);
        return -1;
    }
    machine.imageKnown = true;
    machine.owner = info.st_uid;
    machine.group = info.st_gid;
    machine.mode = info.st_mode & 07777;
    return fd;
}

// Reads the whole image at once, as a read-only mapping of the file; the
// file stays open until the commit.
bool MapImage(ImageText& text)
{
    struct stat info;
    int fd = OpenRegistryFile(info);
    if (fd < 0)
        return false;
    if (info.st_size == 0 || text.Map(fd, static_cast<std::size_t>(info.st_size)))
    {
        mapped.fd = fd;
        return true;
    }
    Complain("%s: cannot read the registry image: %s", ImagePath().c_str(), std::strerror(errno));
    sys::Close(fd);
    return false;
}

// The registry from its bytes; null once the fault has been reported.
std::unique_ptr<Storage> RegistryFrom(std::string bytes)
{
    Hive9xError fault;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), fault);
    if (!hive)
    {
        Complain("%s: offset 0x%zx: %s", machine.registryPath.c_str(), fault.offset,
                 fault.what.c_str());
        return nullptr;
    }
    return HiveStorage(std::move(hive));
}

void LoadDiskRegistry()
{
    std::string bytes;
    Fault fault;
    if (!machine.disk->ReadRegistry(bytes, fault))
    {
        Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
        return;
    }
    sys::CheckMemory();
    machine.registry = RegistryFrom(std::move(bytes));
}

// Reads SYSTEM.DAT whole and checks all of it.
void LoadInstallationRegistry()
{
    struct stat info;
    int fd = OpenRegistryFile(info);
    if (fd < 0)
        return;
    sys::CheckMemory();
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t got = 0;
    while (got < bytes.size())
    {
        ssize_t piece = sys::Read(fd, bytes.data() + got, bytes.size() - got);
        if (piece < 0 && errno == EINTR)
            continue;
        if (piece <= 0)
            break;
        got += static_cast<std::size_t>(piece);
    }
    int error = got < bytes.size() ? errno : 0;
    sys::Close(fd);
    if (got < bytes.size())
    {
        Complain("%s: cannot read the registry image: %s", machine.registryPath.c_str(),
                 error != 0 ? std::strerror(error) : "it was cut short while being read");
        return;
    }
    machine.registry = RegistryFrom(std::move(bytes));
    if (!machine.registry)
        return;
    machine.driveCFd = sys::Open(machine.driveC.c_str(), O_PATH | O_DIRECTORY);
}

// Regedit on Windows 2000 and later exports "Windows Registry Editor
// Version 5.00" files, in UTF-16 unless told otherwise; such a file is
// named for what it is rather than for the first thing wrong with it.
const char* ForeignFormat(std::string_view text)
{
    static const char version5[] = "Windows Registry Editor Version 5.00";
    std::string_view start = text.substr(0, 2);
    bool utf16 = start == "\xFF\xFE" || start == "\xFE\xFF";
    std::string narrow;
    for (std::size_t at = 3; utf16 && at < text.size() && narrow.size() < sizeof version5 - 1;
         at += 2)
        narrow += text[start == "\xFF\xFE" ? at - 1 : at];
    if (!utf16)
        narrow = text.substr(0, sizeof version5 - 1);
    if (narrow == version5)
        return utf16 ? "a Unicode registry export (\"Windows Registry Editor Version 5.00\", "
                       "UTF-16), as regedit writes on Windows 2000 and later; this machine reads "
                       "REGEDIT4 images"
                     : "a \"Windows Registry Editor Version 5.00\" export, as regedit writes on "
                       "Windows 2000 and later; this machine reads REGEDIT4 images";
    if (utf16)
        return "UTF-16 text; this machine reads REGEDIT4 images, in 8-bit text";
    return nullptr;
}

void LoadImage()
{
    machine.imageLoaded = true;
    if (machine.disk)
    {
        LoadDiskRegistry();
        return;
    }
    if (machine.lockFd < 0)
        return;
    if (!machine.imageFault.empty())
    {
        Complain("%s: cannot read the registry image: %s", machine.registryPath.c_str(),
                 machine.imageFault.c_str());
        return;
    }
    if (machine.installation)
    {
        LoadInstallationRegistry();
        return;
    }
    ImageText text;
    if (!MapImage(text))
        return;
    if (const char* foreign = ForeignFormat(text.View()))
    {
        Complain("%s:1: %s", ImagePath().c_str(), foreign);
        return;
    }
    GuardMapping(text.View());
    sys::CheckMemory();
    ImageError error;
    ImagePtr image = ReadImage(std::move(text), error);
    if (!image)
    {
        Complain("%s:%zu: %s", ImagePath().c_str(), error.line, error.what.c_str());
        return;
    }
    machine.registry.reset(image.release());
    machine.driveCFd = sys::Open(machine.driveC.c_str(), O_PATH | O_DIRECTORY);
}

// Before the first save on an installation, its SYSTEM.DAT is kept as
// SYSTEM.TVB, a name Windows does not use; an existing one is never
// replaced, so that it keeps the registry as it was before any run. A
// second name for the file costs nothing and leaves it whole at every
// step; where the file system cannot give one (FAT has no such names),
// the file is copied through the temporary file and renamed.
bool KeepPreviousRegistry()
{
    if (!machine.installation || machine.windows.backupExists)
        return true;
    const char* previous = machine.windows.systemDat.c_str();
    const char* backup = machine.windows.backup.c_str();
    struct stat entry;
    if (sys::Link(previous, backup) == 0 ||
        (errno == EEXIST && lstat(backup, &entry) == 0 && S_ISREG(entry.st_mode)))
        return true;
    struct stat info;
    int fd = OpenRegistryFile(info);
    if (fd < 0)
        return false;
    bool copied = WriteTemporary(
        [fd](const auto& write)
        {
            char piece[65536];
            for (;;)
            {
                ssize_t got = sys::Read(fd, piece, sizeof piece);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    return got == 0;
                if (!write(piece, static_cast<std::size_t>(got)))
                    return false;
            }
        });
    int error = errno;
    sys::Close(fd);
    errno = error;
    return copied && sys::Rename(machine.temporary.c_str(), backup) == 0;
}

// A new file for the folder: without a name where the file system can
// make one (O_TMPFILE), else under its name. The name is checked either
// way, so that the commit cannot fail on it.
int OpenPlacedFile(int folder, const std::string& name, mode_t mode, bool& named)
{
    long longest = fpathconf(folder, _PC_NAME_MAX);
    if (longest > 0 && name.size() > static_cast<std::size_t>(longest))
    {
        errno = ENAMETOOLONG;
        return -1;
    }
    named = false;
    int fd = sys::OpenUnnamed(folder, mode);
    if (fd >= 0)
        return fd;
    named = true;
    return sys::OpenAt(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

bool SamePlace(const PlacedFile& file, const HostPlace& place)
{
    return file.folderPath == place.folder &&
           strcasecmp(file.name.c_str(), place.name.c_str()) == 0;
}

// Gives each placed file its name, once the image is saved. Writes nothing
// to memory that could run out, so that the commit cannot stop half done.
void PlaceFiles()
{
    for (const PlacedFile& file : machine.placed)
    {
        bool placed = sys::Fsync(file.fd) == 0 &&
                      (file.named || sys::LinkAt(file.fd, file.folder, file.name.c_str()) == 0) &&
                      sys::Fsync(file.folder) == 0;
        if (!placed)
        {
            Complain("%s: cannot place the file: %s", file.hostPath.c_str(), std::strerror(errno));
            if (file.named)
                sys::UnlinkAt(file.folder, file.name.c_str());
        }
    }
}

void ClosePlaced(bool remove)
{
    for (const PlacedFile& file : machine.placed)
    {
        if (remove && file.named)
            sys::UnlinkAt(file.folder, file.name.c_str());
        sys::Close(file.fd);
        sys::Close(file.folder);
    }
    machine.placed.clear();
}

bool DryRun()
{
    return Asked("WIN95DRYRUN");
}

// What the run changed, or in a dry run would change, on standard output:
// the registry's keys and values, then each file placed on C:.
void ReportChanges()
{
    if (machine.recorder == nullptr)
        return;
    std::string text = machine.recorder->Report();
    for (const PlacedFile& file : machine.placed)
    {
        std::string path =
            "C:\\" + (file.folderPath == "." ? "" : file.folderPath + "\\") + file.name;
        std::replace(path.begin(), path.end(), '/', '\\');
        text += "placed " + path + "\n";
    }
    if (machine.disk)
        for (const std::string& dosPath : machine.disk->StagedPaths())
            text += "placed C:" + dosPath + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Closes everything the run held, so that the machine can be taken again.
void ReleaseMachine()
{
    if (mapped.letGo.joinable())
        mapped.letGo.join();
    if (mapped.fd >= 0)
        sys::Close(mapped.fd);
    if (machine.driveCFd >= 0)
        sys::Close(machine.driveCFd);
    if (machine.lockFd >= 0)
        sys::Close(machine.lockFd);
    mapped = MappedImage();
    machine = Machine();
}

} // namespace

Storage* MachineRegistry()
{
    TakeMachine();
    if (!machine.imageLoaded)
    {
        LoadImage();
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
    TakeMachine();
    return machine.installation && !machine.windows.windows.empty() ? "C:" + machine.windows.windows
                                                                    : "C:\\WINDOWS";
}

const std::string& MachineDriveC()
{
    static const std::string none;
    return MachineDriveCFolder() >= 0 ? machine.driveC : none;
}

int MachineDriveCFolder()
{
    MachineRegistry();
    return machine.driveCFd;
}

DiskInstallation* MachineDisk()
{
    return MachineRegistry() != nullptr ? machine.disk.get() : nullptr;
}

int CreateOnDriveC(const HostPlace& place, mode_t mode)
{
    PlacedFile file;
    file.folder = OpenOnDrive(place, place.folder, O_RDONLY | O_DIRECTORY);
    if (file.folder < 0)
        return -1;
    file.fd = OpenPlacedFile(file.folder, place.name, mode, file.named);
    if (file.fd < 0)
    {
        int error = errno;
        sys::Close(file.folder);
        errno = error;
        return -1;
    }
    file.folderPath = place.folder;
    file.name = place.name;
    file.hostPath = machine.driveC + "/" + PlacePath(place);
    machine.placed.push_back(std::move(file));
    int writer = fcntl(machine.placed.back().fd, F_DUPFD_CLOEXEC, 0);
    if (writer < 0)
        DiscardOnDriveC(place);
    return writer;
}

bool PlacingOnDriveC(const HostPlace& place)
{
    return std::any_of(machine.placed.begin(), machine.placed.end(),
                       [&place](const PlacedFile& file) { return SamePlace(file, place); });
}

bool DiscardOnDriveC(const HostPlace& place)
{
    auto found = std::find_if(machine.placed.begin(), machine.placed.end(),
                              [&place](const PlacedFile& file) { return SamePlace(file, place); });
    if (found == machine.placed.end())
        return false;
    if (found->named)
        sys::UnlinkAt(found->folder, found->name.c_str());
    sys::Close(found->fd);
    sys::Close(found->folder);
    machine.placed.erase(found);
    return true;
}

void CommitMachine()
{
    TerminationHeld held;
    if (DryRun())
    {
        ReportChanges();
        if (machine.recorder != nullptr)
            Complain("a dry run (WIN95DRYRUN): the machine was left as it was");
        ClosePlaced(true);
        ReleaseMachine();
        return;
    }
    if (machine.disk)
    {
        Fault fault;
        if (machine.registry && !machine.disk->Save(*machine.registry, fault))
            Complain("%s: %s", fault.where.c_str(), fault.what.c_str());
        else
            ReportChanges();
        ReleaseMachine();
        return;
    }
    bool saved = machine.registry && !machine.registry->Changed();
    if (machine.registry && !saved && !machine.windows.backupFault.empty())
        Complain("%s: the registry was not saved: %s is %s, where the copy of SYSTEM.DAT from "
                 "before the first change is kept; move it away and run again",
                 machine.registryPath.c_str(), machine.windows.backup.c_str(),
                 machine.windows.backupFault.c_str());
    else if (machine.registry && !saved)
    {
        saved = KeepPreviousRegistry() &&
                WriteTemporary([](const auto& write)
                               { return machine.registry->Write(write) && LetGoOfImage(); }) &&
                ReplaceImage();
        if (!saved)
            Complain("%s: cannot save the registry image: %s", machine.registryPath.c_str(),
                     std::strerror(errno));
    }
    if (saved)
    {
        PlaceFiles();
        ReportChanges();
    }
    ClosePlaced(!saved);
    ReleaseMachine();
}

int MachineExitStatus()
{
    return runFailed && StrictRequested() ? 1 : 0;
}

void AbandonMachine()
{
    TerminationHeld held;
    Complain("%s: out of memory; the machine was left as it was", machine.folder.c_str());
    if (machine.lockFd >= 0)
        sys::Unlink(machine.temporary.c_str());
    ClosePlaced(true);
    ReleaseMachine();
}

} // namespace win95
