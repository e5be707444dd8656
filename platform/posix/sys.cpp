#include "platform/posix/sys.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
    long seen = 0;
};

Fault& TheFault()
{
    static Fault fault = []
    {
        Fault parsed;
        const char* text = std::getenv("WIN95_FAULT");
        if (text == nullptr)
            return parsed;
        const char* colon = std::strchr(text, ':');
        if (colon == nullptr || colon - text >= static_cast<long>(sizeof parsed.call))
            return parsed;
        std::memcpy(parsed.call, text, static_cast<size_t>(colon - text));
        char* end = nullptr;
        parsed.at = std::strtol(colon + 1, &end, 10);
        parsed.crash = end != nullptr && std::strcmp(end, ":crash") == 0;
        return parsed;
    }();
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
#else
bool Injected(const char*)
{
    return false;
}
#endif
} // namespace

int Open(const char* path, int flags, mode_t mode)
{
    return Injected("open") ? -1 : open(path, flags | O_CLOEXEC, mode);
}

ssize_t Read(int fd, void* buffer, size_t size)
{
    return Injected("read") ? -1 : read(fd, buffer, size);
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

ssize_t CopyRange(int from, off64_t* offset, int to, size_t size)
{
    return Injected("copy") ? -1 : copy_file_range(from, offset, to, nullptr, size, 0);
}

int Fsync(int fd)
{
    return Injected("fsync") ? -1 : fsync(fd);
}

int Rename(const char* from, const char* to)
{
    return Injected("rename") ? -1 : std::rename(from, to);
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

int Mkdir(const char* path, mode_t mode)
{
    return Injected("mkdir") ? -1 : mkdir(path, mode);
}

DIR* OpenDir(const char* path)
{
    return Injected("opendir") ? nullptr : opendir(path);
}

} // namespace win95::sys
