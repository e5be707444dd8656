// Every system call the emulated machine makes goes through these wrappers,
// so that a test build can make the Nth call of a kind fail (errno EIO) or
// end the process right there (SIGKILL), as a crash would.
//
// In a build with TAVRINE_FAULT_SEAM, the environment variable WIN95_FAULT
// selects one fault: "<call>:<n>:fail" or "<call>:<n>:crash", where <call>
// is one of open, read, map, write, copy, fsync, sync, rename, lock, close,
// unlink, mkdir, opendir, readdir, link, chown, spawn, stat (the stat
// family, access, fpathconf), path (realpath, getcwd, the user's home),
// readlink, dup, memfd, pipe, poll, wait, kill, rmdir, limit, memory, or
// "any" (every call counts but memory), and <n> counts from 1. Unmap,
// DropPages and Sleep count under no kind: their failure changes nothing. There,
// WIN95_FAULT_TRACE=<file> also writes the kind of every call made, one a line in order, when the
// process exits, so that a test can first learn how many calls a run makes and then inject a fault
// at each one; and WIN95_KERNEL_FALLBACKS=1 makes the machine work as on a kernel without openat2
// and O_TMPFILE.
#pragma once

#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

namespace win95::sys
{

// A call here that fails returns -1 (false, null) and keeps its cause for
// the caller, which asks for it before its next call here: errno is read
// nowhere above these wrappers.
//
// Why the last call that failed did, in words ("No such file or directory").
const char* Reason();
// True when the last call that failed did for this cause (ENOENT, EEXIST...).
bool FailedFor(int cause);
// Keeps the cause of a failure across the calls that clean up after it.
class CauseKept
{
  public:
    CauseKept();
    ~CauseKept();
    CauseKept(const CauseKept&) = delete;
    CauseKept& operator=(const CauseKept&) = delete;

  private:
    int cause_;
};

int Open(const char* path, int flags, mode_t mode = 0);
int OpenAt(int folder, const char* path, int flags, mode_t mode = 0);
// Opens `path` below the folder `root` as if `root` were the host's root:
// neither "..", nor an absolute path, nor a symbolic link leads out of it
// (openat2 with RESOLVE_IN_ROOT); errno ENOSYS where the kernel lacks it.
int OpenInRoot(int root, const char* path, int flags, mode_t mode = 0);
// A new file without a name in the folder, open for reading and writing
// (O_TMPFILE); it vanishes when closed unless LinkAt names it first.
int OpenUnnamed(int folder, mode_t mode);
// Gives the unnamed file open as `fd` the name in the folder; fails with
// EEXIST when the name is taken.
int LinkAt(int fd, int folder, const char* name);
ssize_t Read(int fd, void* buffer, size_t size);
// Reads up to `size` bytes at `offset`, leaving the file position alone.
ssize_t ReadAt(int fd, void* buffer, size_t size, off_t offset);
// The first `size` (> 0) bytes of the file, mapped read-only and read in
// at once; null on failure.
void* Map(int fd, size_t size);
int Unmap(void* mapping, size_t size);
ssize_t Write(int fd, const void* buffer, size_t size);
// Writes all `size` bytes through Write, going on where a signal cut a
// call short; false, with errno set, where a call fails or writes nothing.
bool WriteAll(int fd, const void* buffer, size_t size);
// Copies up to `size` bytes of `from`, starting at *offset (moved on), to
// the current position of `to`, inside the kernel.
ssize_t CopyRange(int from, off64_t* offset, int to, size_t size);
int Fsync(int fd);
// Starts writing `size` bytes of the file from `offset` out to its disk
// without waiting for them (sync_file_range); promises nothing about
// durability, so a failure changes nothing but speed.
int StartWriteback(int fd, off64_t offset, off64_t size);
int Rename(const char* from, const char* to);
// A second name for the file; fails with EEXIST when the name is taken.
int Link(const char* from, const char* to);
int Lock(int fd);
// Without waiting, locks the whole file for writing for as long as this
// open file stays open, both as an open file description (fcntl) lock and
// as a flock lock, and marks the lock as ours with a read lock on one byte
// far past any data. Fails with EBUSY when another of our runs holds the
// file (it bears that mark), so that the caller may wait its turn, and
// with EAGAIN when any other open file holds a lock of either kind (read
// or write) on any part of it; a failed attempt holds nothing.
int LockWhole(int fd);
int Close(int fd);
int Unlink(const char* path);
int UnlinkAt(int folder, const char* name);
int Mkdir(const char* path, mode_t mode);
// Marks where the machine takes memory in proportion to its image: a
// "memory" fault throws std::bad_alloc there, as running out would.
void CheckMemory();
DIR* OpenDir(const char* path);
// Lists the open folder, which stays open for the caller.
DIR* OpenDirAt(int folder);
// Starts the program `file`, found in PATH, with these arguments,
// environment, file actions and attributes; the child's id, or -1 with
// errno set.
pid_t Spawn(const char* file, const posix_spawn_file_actions_t* actions,
            const posix_spawnattr_t* attributes, char* const argv[], char* const envp[]);
// Gives the open file this owner and group, then exactly this mode.
int ChownChmod(int fd, uid_t owner, gid_t group, mode_t mode);

int Stat(const char* path, struct stat* info);
int Lstat(const char* path, struct stat* info);
int Fstat(int fd, struct stat* info);
int FstatAt(int folder, const char* name, struct stat* info, int flags);
// What the file system holding the open file has room for.
int FstatVfs(int fd, struct statvfs* info);
int Access(const char* path, int mode);
// fpathconf: -1 with the cause kept on failure, -1 alone for no limit.
long PathConf(int fd, int name);
// The path with every link, "." and ".." resolved; "" on failure.
std::string RealPath(const char* path);
// What the symbolic link holds, whatever its length; "" on failure.
std::string ReadLink(const char* path);
// The current folder, whatever its length; "" on failure.
std::string CurrentFolder();
// The home folder the user database gives this user; "" when it has none.
std::string UserHome();
// Lists the next entry of the folder; null at its end, and null with
// `failed` set and the cause kept when the listing broke off: a caller
// that acts on what a folder lacks must not take that for its end.
const dirent* ReadDir(DIR* dir, bool& failed);
int CloseDir(DIR* dir);
// A second descriptor (F_DUPFD_CLOEXEC) for the open file.
int DupFd(int fd);
// A new file in memory, open for reading and writing (memfd_create).
int MemfdCreate(const char* name);
// Writes up to `size` bytes at `offset`, leaving the file position alone.
ssize_t WriteAt(int fd, const void* buffer, size_t size, off_t offset);
// A pipe whose two ends close on exec.
int Pipe(int ends[2]);
// Waits for the files, going on where a signal cut the wait short.
int Poll(pollfd* files, nfds_t count, int timeout);
// Waits for the child (or, with WNOHANG, asks whether it ended), going on
// where a signal cut the wait short.
pid_t WaitPid(pid_t child, int* status, int options);
int Kill(pid_t process, int signal);
// Makes a new folder from `pattern`, whose last six characters are
// "XXXXXX" and become the folder's own (mkdtemp); counts as a mkdir.
bool MakeTempFolder(std::string& pattern);
int Rmdir(const char* path);
// The limit on the size of the files this process writes (ulimit -f).
int FileSizeLimit(rlimit* limit);
// Lets the kernel drop the pages of a mapping and of the file behind it
// from memory; a hint, safe to make from a second thread.
void DropPages(void* begin, size_t size, int fd);
void Sleep(long milliseconds);

} // namespace win95::sys
