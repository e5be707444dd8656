// What went wrong, as every layer above the system calls reports it to the
// one above: where (a file, a line or an offset in it, a path inside a
// disk image, as the message shows it) and what, in a few words. Only
// the machine turns a fault into the run's message, as one line: where,
// ": ", what.
#pragma once

#include <string>

namespace win95
{

struct Fault
{
    std::string where;
    std::string what;
};

} // namespace win95
