#include "platform/posix/machine/mapped_image.h"

#include "platform/posix/machine/messages.h"
#include "platform/posix/os/sys.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace win95
{
namespace
{

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

void OnBusError(int, siginfo_t* info, void*)
{
    const char* at = static_cast<const char*>(info->si_addr);
    if (at < mapped.begin || at >= mapped.begin + mapped.size)
    {
        // Not ours: the fault happens again, with the default action.
        signal(SIGBUS, SIG_DFL);
        return;
    }
    // Straight to the kernel: nothing else is safe in a signal handler.
    ssize_t written = write(2, mapped.message, mapped.messageLength);
    static_cast<void>(written);
    _exit(mapped.exitStatus);
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
        if (copied < 0 && sys::FailedFor(EINTR))
            continue;
        if (copied < 0 && (sys::FailedFor(EXDEV) || sys::FailedFor(EOPNOTSUPP) ||
                           sys::FailedFor(ENOSYS) || sys::FailedFor(EINVAL)))
            return true;
        if (copied <= 0)
            return false;
        data += copied;
        size -= static_cast<std::size_t>(copied);
    }
    return true;
}

} // namespace

bool MapImageFile(int fd, std::size_t size, ImageText& text)
{
    if (size != 0 && !text.Map(fd, size))
        return false;
    mapped.fd = fd;
    return true;
}

void GuardImageMapping(std::string_view text, const std::string& path)
{
    mapped.begin = text.data();
    mapped.size = text.size();
    int length = std::snprintf(mapped.message, sizeof mapped.message,
                               "%s: %s: the registry image was cut short by another program\n",
                               program_invocation_short_name, path.c_str());
    mapped.messageLength =
        std::min(sizeof mapped.message - 1, static_cast<std::size_t>(std::max(length, 0)));
    mapped.exitStatus = Asked("WIN95STRICT") ? 1 : 0;
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

bool WriteMaybeMapped(int fd, const char* data, std::size_t size)
{
    bool inImage = mapped.fd >= 0 && data >= mapped.begin && size <= mapped.size &&
                   static_cast<std::size_t>(data - mapped.begin) <= mapped.size - size;
    if (inImage && !CopyFromImage(fd, data, size))
        return false;
    return sys::WriteAll(fd, data, size);
}

void LetGoOfImageMapping()
{
    if (mapped.begin == nullptr)
        return;
    try
    {
        mapped.letGo = std::thread([begin = mapped.begin, size = mapped.size, fd = mapped.fd]
                                   { sys::DropPages(const_cast<char*>(begin), size, fd); });
    }
    catch (const std::system_error&)
    {
        // Without a thread the pages are let go when the run ends.
    }
}

void ReleaseImageMapping()
{
    if (mapped.letGo.joinable())
        mapped.letGo.join();
    if (mapped.fd >= 0)
        sys::Close(mapped.fd);
    mapped = MappedImage();
}

} // namespace win95
