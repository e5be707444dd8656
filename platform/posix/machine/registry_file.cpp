#include "platform/posix/machine/registry_file.h"

#include "platform/posix/machine/messages.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/win9x/storage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace win95
{
namespace
{

// The largest registry file a machine reads. The image of a real Windows
// 95 machine is a few megabytes; reading one takes about its size again
// in memory, so a larger file is far more likely a mistake than a
// registry, and is refused before any of it is read.
const off_t maxRegistrySize = off_t{1} << 30;

// What keeps the file from being read as a registry, found before reading
// any of it; null when nothing does.
const char* RegistryFileFault(const struct stat& info, char* buffer, std::size_t capacity)
{
    if (S_ISDIR(info.st_mode))
        return "it is a folder, not a file";
    if (S_ISFIFO(info.st_mode))
        return "it is a named pipe, not a file";
    if (!S_ISREG(info.st_mode))
        return "it is a device or socket, not a file";
    if (info.st_size > maxRegistrySize)
    {
        std::snprintf(buffer, capacity,
                      "it is %lld bytes long, more than the %lld bytes (1 GiB) a machine reads",
                      static_cast<long long>(info.st_size), static_cast<long long>(maxRegistrySize));
        return buffer;
    }
    return nullptr;
}

} // namespace

int OpenRegistryFile(const std::string& path, SaveTarget& target, struct stat& info)
{
    char buffer[128];
    const char* fault = sys::Stat(path.c_str(), &info) != 0
                            ? sys::Reason()
                            : RegistryFileFault(info, buffer, sizeof buffer);
    int fd = -1;
    if (fault == nullptr)
    {
        fd = sys::Open(path.c_str(), O_RDONLY | O_NONBLOCK);
        fault = fd < 0 || sys::Fstat(fd, &info) != 0
                    ? sys::Reason()
                    : RegistryFileFault(info, buffer, sizeof buffer);
    }
    if (fault != nullptr)
    {
        Complain("%s: cannot read the registry image: %s", path.c_str(), fault);
        if (fd >= 0)
            sys::Close(fd);
        return -1;
    }
    target.known = true;
    target.owner = info.st_uid;
    target.group = info.st_gid;
    target.mode = info.st_mode & 07777;
    return fd;
}

bool ReadRegistryFile(const std::string& path, int fd, std::size_t size, std::string& bytes)
{
    sys::CheckMemory();
    bytes.assign(size, '\0');
    std::size_t got = 0;
    ssize_t piece = 0;
    while (got < bytes.size())
    {
        piece = sys::Read(fd, bytes.data() + got, bytes.size() - got);
        if (piece < 0 && sys::FailedFor(EINTR))
            continue;
        if (piece <= 0)
            break;
        got += static_cast<std::size_t>(piece);
    }
    const bool failed = piece < 0;
    {
        sys::CauseKept kept;
        sys::Close(fd);
    }
    if (got == bytes.size())
        return true;
    Complain("%s: cannot read the registry image: %s", path.c_str(),
             failed ? sys::Reason() : "it was cut short while being read");
    return false;
}

std::unique_ptr<Storage> Win9xRegistryFrom(std::string bytes, const std::string& path)
{
    Fault fault;
    std::unique_ptr<Hive9x> hive = Hive9x::Read(std::move(bytes), fault);
    if (!hive)
    {
        Complain("%s: %s: %s", path.c_str(), fault.where.c_str(), fault.what.c_str());
        return nullptr;
    }
    return HiveStorage(std::move(hive));
}

} // namespace win95
