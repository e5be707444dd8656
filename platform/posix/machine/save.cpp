#include "platform/posix/machine/save.h"

#include "platform/posix/machine/mapped_image.h"
#include "platform/posix/os/sys.h"

#include <algorithm>
#include <fcntl.h>

namespace win95
{
namespace
{

constexpr off64_t WritebackChunk = off64_t(8) << 20;

} // namespace

TerminationHeld::TerminationHeld()
{
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
        sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, &before_);
}

TerminationHeld::~TerminationHeld()
{
    sigprocmask(SIG_SETMASK, &before_, nullptr);
}

bool WriteTemporary(const SaveTarget& target, const std::function<bool(const WriteSink&)>& content)
{
    const char* temporary = target.temporary.c_str();
    int fd =
        sys::Open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, target.known ? 0600 : 0644);
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
            if (!WriteMaybeMapped(fd, data, piece))
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
    bool complete =
        (!target.known || sys::ChownChmod(fd, target.owner, target.group, target.mode) == 0) &&
        content(append);
    bool flushed = complete && sys::Fsync(fd) == 0;
    if (flushed && sys::Close(fd) == 0)
        return true;
    sys::CauseKept kept;
    if (!flushed)
        sys::Close(fd);
    sys::Unlink(temporary);
    return false;
}

bool ReplaceWithTemporary(const SaveTarget& target)
{
    if (sys::Rename(target.temporary.c_str(), target.path.c_str()) != 0)
    {
        sys::CauseKept kept;
        sys::Unlink(target.temporary.c_str());
        return false;
    }
    if (target.folder >= 0)
        return sys::Fsync(target.folder) == 0;
    std::string folder = target.path.substr(0, target.path.rfind('/') + 1);
    int fd = sys::Open(folder.c_str(), O_RDONLY | O_DIRECTORY);
    bool flushed = fd >= 0 && sys::Fsync(fd) == 0;
    if (fd >= 0)
        sys::Close(fd);
    return flushed;
}

} // namespace win95
