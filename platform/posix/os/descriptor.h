// An open file that is closed when it goes out of scope. Closing keeps
// the cause of a failure the owner is about to report.
#pragma once

#include "platform/posix/os/sys.h"

namespace win95
{

class Descriptor
{
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        Reset();
    }
    int Get() const
    {
        return fd_;
    }
    void Set(int fd)
    {
        Reset();
        fd_ = fd;
    }
    void Reset()
    {
        if (fd_ < 0)
            return;
        sys::CauseKept kept;
        sys::Close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

} // namespace win95
