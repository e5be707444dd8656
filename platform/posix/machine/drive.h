// A drive as a run sees it: C: (the machine's, whatever its form) or Z:
// (the host's root, as in Wine). Paths are the components of a Windows
// path below the drive's top, "." and ".." already resolved (paths.h);
// each existing component is found without regard to case.
#pragma once

#include <string>
#include <vector>

namespace win95
{

using DrivePath = std::vector<std::string>;

class Drive
{
  public:
    virtual ~Drive() = default;

    // True when an entry of that name (of any kind) is there, or when the
    // run is placing a file there; the drive's top always is.
    virtual bool Exists(const DrivePath& path) = 0;
    // The file, open for reading; -1 when it cannot be.
    virtual int OpenForReading(const DrivePath& path) = 0;
    // The file, open for writing from its start. On C: a new file is one
    // the machine places at its commit, out of sight until then; -1 when
    // it cannot be.
    virtual int OpenForWriting(const DrivePath& path) = 0;
    // Removes the file, or gives up the one the run is placing there.
    virtual bool Remove(const DrivePath& path) = 0;
};

} // namespace win95
