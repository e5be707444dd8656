// Every system call the emulated machine makes goes through these wrappers,
// so that a test build can make the Nth call of a kind fail (errno EIO) or
// end the process right there (SIGKILL), as a crash would.
//
// In a build with TAVRINE_FAULT_SEAM, the environment variable WIN95_FAULT
// selects one fault: "<call>:<n>:fail" or "<call>:<n>:crash", where <call>
// is one of open, read, map, write, copy, fsync, rename, lock, close,
// unlink, mkdir, opendir, or "any" (every call counts), and <n> counts
// from 1. There, WIN95_FAULT_TRACE=<file> also writes the kind of every
// call made, one a line in order, when the process exits, so that a test
// can first learn how many calls a run makes and then inject a fault at
// each one.
#pragma once

#include <dirent.h>
#include <sys/types.h>

namespace win95::sys
{

int Open(const char* path, int flags, mode_t mode = 0);
ssize_t Read(int fd, void* buffer, size_t size);
// The first `size` (> 0) bytes of the file, mapped read-only and read in
// at once; null on failure.
void* Map(int fd, size_t size);
int Unmap(void* mapping, size_t size);
ssize_t Write(int fd, const void* buffer, size_t size);
// Copies up to `size` bytes of `from`, starting at *offset (moved on), to
// the current position of `to`, inside the kernel.
ssize_t CopyRange(int from, off64_t* offset, int to, size_t size);
int Fsync(int fd);
int Rename(const char* from, const char* to);
int Lock(int fd);
int Close(int fd);
int Unlink(const char* path);
int Mkdir(const char* path, mode_t mode);
DIR* OpenDir(const char* path);

} // namespace win95::sys
