#include "platform/posix/machine.h"

#include "platform/posix/image.h"
#include "platform/posix/sys.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win95
{

extern const unsigned char defaultMachine[];
extern const std::size_t defaultMachineSize;

namespace
{

// The machine of this run: taken at first use, held until the commit.
struct Machine
{
    bool taken = false;       // the first use has happened
    bool imageLoaded = false; // the image has been read (successfully or not)
    int lockFd = -1;          // the machine folder, open and locked; -1 if it could not be taken
    std::string folder;       // host path of the machine folder
    std::string driveC;       // host path of drive C:
    mode_t imageMode = 0644;  // permission bits of the image, which the save keeps
    ImagePtr image;
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
};

MappedImage mapped;

std::string ImagePath()
{
    return machine.folder + "/registry.reg";
}

std::string TemporaryPath()
{
    return machine.folder + "/registry.reg.new";
}

// One line per run: a fault that leads to others (no default machine, so
// no image to read) is reported where it began.
void Complain(const std::string& what)
{
    static bool complained = false;
    if (!complained)
        std::fprintf(stderr, "%s\n", what.c_str());
    complained = true;
}

std::string MachineFolderName()
{
    const char* prefix = std::getenv("WIN95PREFIX");
    if (prefix != nullptr && prefix[0] != '\0')
        return prefix;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
    {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : "/";
    }
    return std::string(home) + "/.win95";
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
    while (size > 0)
    {
        ssize_t written = sys::Write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the temporary image file in full and flushes it; the writer is
// called with a sink that appends to the file.
template <typename Writer> bool WriteTemporary(Writer writeContent)
{
    std::string temporary = TemporaryPath();
    int fd = sys::Open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, machine.imageMode);
    if (fd < 0)
        return false;
    bool written =
        writeContent([fd](const char* data, std::size_t size) { return WriteAll(fd, data, size); });
    bool flushed = written && sys::Fsync(fd) == 0;
    bool closed = sys::Close(fd) == 0;
    if (flushed && closed)
        return true;
    sys::Unlink(temporary.c_str());
    return false;
}

// Puts the temporary file in place of the image and makes the rename durable.
bool ReplaceImage()
{
    if (sys::Rename(TemporaryPath().c_str(), ImagePath().c_str()) != 0)
    {
        sys::Unlink(TemporaryPath().c_str());
        return false;
    }
    return sys::Fsync(machine.lockFd) == 0;
}

bool ImageExists()
{
    struct stat info;
    return stat(ImagePath().c_str(), &info) == 0;
}

// A folder without an image becomes the default machine; nothing that is
// already there is overwritten.
bool CreateDefaultMachine()
{
    for (const char* folder : {"/drive_c/WINDOWS/INF", "/drive_c/WINDOWS/SYSTEM"})
        if (!MakeFolders(machine.folder + folder))
            return false;
    bool written = WriteTemporary(
        [](const auto& write)
        { return write(reinterpret_cast<const char*>(defaultMachine), defaultMachineSize); });
    return written && ReplaceImage();
}

void TakeMachine()
{
    if (machine.taken)
        return;
    machine.taken = true;
    machine.folder = MachineFolderName();
    machine.driveC = machine.folder + "/drive_c";
    if (!MakeFolders(machine.folder))
    {
        Complain(machine.folder + ": cannot create the machine folder: " + std::strerror(errno));
        return;
    }
    int fd = sys::Open(machine.folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || sys::Lock(fd) != 0)
    {
        Complain(machine.folder + ": cannot take the machine: " + std::strerror(errno));
        if (fd >= 0)
            sys::Close(fd);
        return;
    }
    machine.lockFd = fd;
    // A run that ended before its commit may have left its temporary image.
    sys::Unlink(TemporaryPath().c_str());
    if (!ImageExists() && !CreateDefaultMachine())
        Complain(ImagePath() + ": cannot create the default machine: " + std::strerror(errno));
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
    _exit(0);
}

void GuardMapping(std::string_view text)
{
    mapped.begin = text.data();
    mapped.size = text.size();
    int length = std::snprintf(mapped.message, sizeof mapped.message,
                               "%s: the registry image was cut short by another program\n",
                               ImagePath().c_str());
    mapped.messageLength =
        std::min(sizeof mapped.message - 1, static_cast<std::size_t>(std::max(length, 0)));
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

// Reads the whole image at once, as a read-only mapping of the file; the
// file stays open until the commit.
bool MapImage(const std::string& path, ImageText& text, mode_t& mode)
{
    int fd = sys::Open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat info;
    if (fstat(fd, &info) == 0 &&
        (info.st_size == 0 || text.Map(fd, static_cast<std::size_t>(info.st_size))))
    {
        mode = info.st_mode & 07777;
        mapped.fd = fd;
        return true;
    }
    int readError = errno;
    sys::Close(fd);
    errno = readError;
    return false;
}

void LoadImage()
{
    machine.imageLoaded = true;
    if (machine.lockFd < 0)
        return;
    ImageText text;
    if (!MapImage(ImagePath(), text, machine.imageMode))
    {
        Complain(ImagePath() + ": cannot read the registry image: " + std::strerror(errno));
        return;
    }
    GuardMapping(text.View());
    ImageError error;
    machine.image = ReadImage(std::move(text), error);
    if (!machine.image)
        Complain(ImagePath() + ":" + std::to_string(error.line) + ": " + error.what);
}

} // namespace

Image* MachineImage()
{
    TakeMachine();
    if (!machine.imageLoaded)
        LoadImage();
    return machine.image.get();
}

const std::string& MachineDriveC()
{
    static const std::string none;
    TakeMachine();
    return machine.lockFd >= 0 ? machine.driveC : none;
}

void CommitMachine()
{
    if (machine.lockFd < 0)
        return;
    if (machine.image && ImageChanged(*machine.image))
    {
        bool saved =
            WriteTemporary([](const auto& write) { return WriteImage(*machine.image, write); });
        if (!saved || !ReplaceImage())
            Complain(ImagePath() + ": cannot save the registry image: " + std::strerror(errno));
    }
    if (mapped.fd >= 0)
        sys::Close(mapped.fd);
    mapped.fd = -1;
    sys::Close(machine.lockFd);
    machine.lockFd = -1;
}

} // namespace win95
