#include "platform/posix/os/sys.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <new>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace win95::sys
{
namespace
{
#ifdef TAVRINE_FAULT_SEAM
struct Fault
{
    char call[16] = "";
    long at = 0;
    bool crash = false;
    std::atomic<long> seen{0}; // memory is also taken on the image reader's second thread
};

Fault& TheFault()
{
    static Fault fault;
    static const bool parsed = []
    {
        const char* text = std::getenv("WIN95_FAULT");
        const char* colon = text != nullptr ? std::strchr(text, ':') : nullptr;
        if (colon == nullptr || colon - text >= static_cast<long>(sizeof fault.call))
            return false;
        std::memcpy(fault.call, text, static_cast<size_t>(colon - text));
        char* end = nullptr;
        fault.at = std::strtol(colon + 1, &end, 10);
        fault.crash = end != nullptr && std::strcmp(end, ":crash") == 0;
        return true;
    }();
    static_cast<void>(parsed);
    return fault;
}

// The kinds of the calls made so far, when WIN95_FAULT_TRACE names a file.
struct Trace
{
    const char* file = nullptr;
    std::vector<const char*> calls;
};

void WriteTrace();

Trace& TheTrace()
{
    static Trace trace{std::getenv("WIN95_FAULT_TRACE"), {}};
    return trace;
}

void WriteTrace()
{
    FILE* out = std::fopen(TheTrace().file, "w");
    if (out == nullptr)
        return;
    for (const char* call : TheTrace().calls)
        std::fprintf(out, "%s\n", call);
    std::fclose(out);
}

// True when this call is the one chosen to fail; ends the process when it
// is the one chosen to crash.
bool Injected(const char* call)
{
    // Registered once the trace exists, so that it runs before the trace is destroyed.
    static const bool tracing = TheTrace().file != nullptr && std::atexit(WriteTrace) == 0;
    if (tracing)
        TheTrace().calls.push_back(call);
    Fault& fault = TheFault();
    if (fault.at <= 0 ||
        (std::strcmp(fault.call, call) != 0 && std::strcmp(fault.call, "any") != 0))
        return false;
    if (++fault.seen != fault.at)
        return false;
    if (fault.crash)
        kill(getpid(), SIGKILL);
    errno = EIO;
    return true;
}

bool KernelFallbacks()
{
    static const bool fallbacks = std::getenv("WIN95_KERNEL_FALLBACKS") != nullptr;
    return fallbacks;
}

// Memory is no system call: "any" neither counts it nor lists it.
bool MemoryFault()
{
    Fault& fault = TheFault();
    return std::strcmp(fault.call, "memory") == 0 && ++fault.seen == fault.at;
}
#else
bool Injected(const char*)
{
    return false;
}

bool KernelFallbacks()
{
    return false;
}

bool MemoryFault()
{
    return false;
}
#endif
} // namespace

const char* Reason()
{
    return std::strerror(errno);
}

bool FailedFor(int cause)
{
    return errno == cause;
}

CauseKept::CauseKept() : cause_(errno) {}

CauseKept::~CauseKept()
{
    errno = cause_;
}

int Open(const char* path, int flags, mode_t mode)
{
    return Injected("open") ? -1 : open(path, flags | O_CLOEXEC, mode);
}

int OpenAt(int folder, const char* path, int flags, mode_t mode)
{
    return Injected("open") ? -1 : openat(folder, path, flags | O_CLOEXEC, mode);
}

int OpenInRoot(int root, const char* path, int flags, mode_t mode)
{
    if (Injected("open"))
        return -1;
    if (KernelFallbacks())
    {
        errno = ENOSYS;
        return -1;
    }
    open_how how = {};
    how.flags = static_cast<unsigned>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    int fd;
    do
        fd = static_cast<int>(syscall(SYS_openat2, root, path, &how, sizeof how));
    while (fd < 0 && errno == EAGAIN);
    return fd;
}

int OpenUnnamed(int folder, mode_t mode)
{
    if (Injected("open"))
        return -1;
    if (KernelFallbacks())
    {
        errno = EOPNOTSUPP;
        return -1;
    }
    return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

// Older kernels let only a privileged process (CAP_DAC_READ_SEARCH) name
// an open file by its descriptor; elsewhere its link in /proc names it.
int LinkAt(int fd, int folder, const char* name)
{
    if (Injected("link"))
        return -1;
    if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0)
        return 0;
    if (errno == EEXIST)
        return -1;
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, procPath, folder, name, AT_SYMLINK_FOLLOW);
}

ssize_t Read(int fd, void* buffer, size_t size)
{
    return Injected("read") ? -1 : read(fd, buffer, size);
}

ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset)
{
    return Injected("read") ? -1 : pread(fd, buffer, size, offset);
}

void* Map(int fd, size_t size)
{
    if (Injected("map"))
        return nullptr;
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    return mapping == MAP_FAILED ? nullptr : mapping;
}

int Unmap(void* mapping, size_t size)
{
    return munmap(mapping, size);
}

ssize_t Write(int fd, const void* buffer, size_t size)
{
    return Injected("write") ? -1 : write(fd, buffer, size);
}

bool WriteAll(int fd, const void* buffer, size_t size)
{
    const char* data = static_cast<const char*>(buffer);
    while (size > 0)
    {
        const ssize_t written = Write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

ssize_t CopyRange(int from, off64_t* offset, int to, size_t size)
{
    return Injected("copy") ? -1 : copy_file_range(from, offset, to, nullptr, size, 0);
}

int Fsync(int fd)
{
    return Injected("fsync") ? -1 : fsync(fd);
}

int StartWriteback(int fd, off64_t offset, off64_t size)
{
    return Injected("sync") ? -1 : sync_file_range(fd, offset, size, SYNC_FILE_RANGE_WRITE);
}

int Rename(const char* from, const char* to)
{
    return Injected("rename") ? -1 : std::rename(from, to);
}

int Link(const char* from, const char* to)
{
    return Injected("link") ? -1 : link(from, to);
}

int Lock(int fd)
{
    if (Injected("lock"))
        return -1;
    int result;
    do
        result = flock(fd, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result;
}

namespace
{
// The byte that marks a lock as one of our runs': no program locks there,
// since no image reaches it.
constexpr off_t ourMark = off_t{1} << 62;

int LockRange(int fd, short type, off_t start, off_t length)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = length;
    return fcntl(fd, F_OFD_SETLK, &range);
}

// True when another open file holds the mark.
bool MarkedByAnother(int fd)
{
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = ourMark;
    probe.l_len = 1;
    return fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_RDLCK &&
           probe.l_start == ourMark && probe.l_len == 1;
}
} // namespace

// The mark is taken first: a run that finds the file locked and the mark
// held by another waits its turn. One whose own attempt fails lets go of
// its mark at once, so that a mark seen beside a foreign lock only makes
// a run try again, and never wait for good.
int LockWhole(int fd)
{
    if (Injected("lock"))
        return -1;
    if (LockRange(fd, F_RDLCK, ourMark, 1) != 0)
        return -1;
    const bool range = LockRange(fd, F_WRLCK, 0, ourMark) == 0;
    if (range && flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    int error = errno == EACCES ? EAGAIN : errno;
    if (!range && error == EAGAIN && MarkedByAnother(fd))
        error = EBUSY;
    LockRange(fd, F_UNLCK, 0, 0);
    errno = error;
    return -1;
}

pid_t Spawn(const char* file, const posix_spawn_file_actions_t* actions,
            const posix_spawnattr_t* attributes, char* const argv[], char* const envp[])
{
    if (Injected("spawn"))
        return -1;
    pid_t child = -1;
    int error = posix_spawnp(&child, file, actions, attributes, argv, envp);
    if (error == 0)
        return child;
    errno = error;
    return -1;
}

int Close(int fd)
{
    if (Injected("close"))
    {
        close(fd);
        errno = EIO;
        return -1;
    }
    return close(fd);
}

int Unlink(const char* path)
{
    return Injected("unlink") ? -1 : unlink(path);
}

int UnlinkAt(int folder, const char* name)
{
    return Injected("unlink") ? -1 : unlinkat(folder, name, 0);
}

int Mkdir(const char* path, mode_t mode)
{
    return Injected("mkdir") ? -1 : mkdir(path, mode);
}

DIR* OpenDir(const char* path)
{
    return Injected("opendir") ? nullptr : opendir(path);
}

void CheckMemory()
{
    if (MemoryFault())
        throw std::bad_alloc();
}

DIR* OpenDirAt(int folder)
{
    if (Injected("opendir"))
        return nullptr;
    int own = fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return nullptr;
    // The copy shares the folder's position: start the listing at its beginning.
    lseek(own, 0, SEEK_SET);
    DIR* dir = fdopendir(own);
    if (dir == nullptr)
        close(own);
    return dir;
}

int ChownChmod(int fd, uid_t owner, gid_t group, mode_t mode)
{
    if (Injected("chown"))
        return -1;
    struct stat info;
    if (fstat(fd, &info) != 0)
        return -1;
    if ((info.st_uid != owner || info.st_gid != group) && fchown(fd, owner, group) != 0)
        return -1;
    return fchmod(fd, mode);
}

int Stat(const char* path, struct stat* info)
{
    return Injected("stat") ? -1 : stat(path, info);
}

int Lstat(const char* path, struct stat* info)
{
    return Injected("stat") ? -1 : lstat(path, info);
}

int Fstat(int fd, struct stat* info)
{
    return Injected("stat") ? -1 : fstat(fd, info);
}

int FstatAt(int folder, const char* name, struct stat* info, int flags)
{
    return Injected("stat") ? -1 : fstatat(folder, name, info, flags);
}

int FstatVfs(int fd, struct statvfs* info)
{
    return Injected("stat") ? -1 : fstatvfs(fd, info);
}

int Access(const char* path, int mode)
{
    return Injected("stat") ? -1 : access(path, mode);
}

long PathConf(int fd, int name)
{
    return Injected("stat") ? -1 : fpathconf(fd, name);
}

std::string RealPath(const char* path)
{
    if (Injected("path"))
        return "";
    char* resolved = realpath(path, nullptr);
    if (resolved == nullptr)
        return "";
    std::string result = resolved;
    std::free(resolved);
    return result;
}

std::string ReadLink(const char* path)
{
    if (Injected("readlink"))
        return "";
    std::vector<char> buffer(4096);
    for (;;)
    {
        const ssize_t length = readlink(path, buffer.data(), buffer.size());
        if (length < 0)
            return "";
        if (static_cast<size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<size_t>(length));
        buffer.resize(buffer.size() * 2);
    }
}

std::string CurrentFolder()
{
    if (Injected("path"))
        return "";
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr)
    {
        if (errno != ERANGE)
            return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string UserHome()
{
    if (Injected("path"))
        return "";
    const passwd* user = getpwuid(getuid());
    return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

const dirent* ReadDir(DIR* dir, bool& failed)
{
    failed = Injected("readdir");
    if (failed)
        return nullptr;
    const int before = errno;
    errno = 0;
    const dirent* entry = readdir(dir);
    failed = entry == nullptr && errno != 0;
    if (entry == nullptr && !failed)
        errno = before;
    return entry;
}

int CloseDir(DIR* dir)
{
    if (Injected("close"))
    {
        closedir(dir);
        errno = EIO;
        return -1;
    }
    return closedir(dir);
}

int DupFd(int fd)
{
    return Injected("dup") ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

int MemfdCreate(const char* name)
{
    return Injected("memfd") ? -1 : memfd_create(name, MFD_CLOEXEC);
}

ssize_t WriteAt(int fd, const void* buffer, size_t size, off_t offset)
{
    return Injected("write") ? -1 : pwrite(fd, buffer, size, offset);
}

int Pipe(int ends[2])
{
    return Injected("pipe") ? -1 : pipe2(ends, O_CLOEXEC);
}

int Poll(pollfd* files, nfds_t count, int timeout)
{
    if (Injected("poll"))
        return -1;
    int ready;
    do
        ready = poll(files, count, timeout);
    while (ready < 0 && errno == EINTR);
    return ready;
}

pid_t WaitPid(pid_t child, int* status, int options)
{
    if (Injected("wait"))
        return -1;
    pid_t ended;
    do
        ended = waitpid(child, status, options);
    while (ended < 0 && errno == EINTR);
    return ended;
}

int Kill(pid_t process, int signal)
{
    return Injected("kill") ? -1 : kill(process, signal);
}

bool MakeTempFolder(std::string& pattern)
{
    return !Injected("mkdir") && mkdtemp(pattern.data()) != nullptr;
}

int Rmdir(const char* path)
{
    return Injected("rmdir") ? -1 : rmdir(path);
}

int FileSizeLimit(rlimit* limit)
{
    return Injected("limit") ? -1 : getrlimit(RLIMIT_FSIZE, limit);
}

void DropPages(void* begin, size_t size, int fd)
{
    madvise(begin, size, MADV_DONTNEED);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

void Sleep(long milliseconds)
{
    const timespec pause{milliseconds / 1000, milliseconds % 1000 * 1000000};
    nanosleep(&pause, nullptr);
}

} // namespace win95::sys
