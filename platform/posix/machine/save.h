// The save of a registry file on the host: the new file is written in
// full beside the old one, flushed, and renamed over it, and the rename is
// made durable by flushing the folder; a save cut short anywhere leaves
// the old file or the new one, whole. Termination signals wait meanwhile.
#pragma once

#include "platform/posix/storage/storage.h"

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>

namespace win95
{

// Termination signals wait while the machine's files change, so that the
// change ends, and no temporary file is left behind, before they act.
class TerminationHeld
{
  public:
    TerminationHeld();
    ~TerminationHeld();
    TerminationHeld(const TerminationHeld&) = delete;
    TerminationHeld& operator=(const TerminationHeld&) = delete;

  private:
    sigset_t before_;
};

// The file a save replaces, and what the new one keeps of it.
struct SaveTarget
{
    std::string path;      // the file a save replaces (a link to it is followed)
    std::string temporary; // the new file, beside it
    int folder = -1;       // the folder holding both, when the machine holds it open
    bool known = false;    // the file existed, so that its owner and mode are kept
    uid_t owner = 0;       // owner, group and permission bits of the file, which the save keeps
    gid_t group = 0;
    mode_t mode = 0;
};

// Writes the temporary file in full and flushes it: `content` is called
// with a sink that appends to the file. The file gets the target's owner,
// group and mode; a new machine's registry gets the umask's. False, with
// the temporary file removed, when it cannot be written.
bool WriteTemporary(const SaveTarget& target, const std::function<bool(const WriteSink&)>& content);

// Puts the temporary file in place of the target and makes the rename
// durable, flushing the folder that holds it.
bool ReplaceWithTemporary(const SaveTarget& target);

} // namespace win95
