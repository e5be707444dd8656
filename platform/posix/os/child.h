// Running another program: started through the fault seam with the
// standard streams, environment and open files it is given, and, for a
// run to its end, its output collected and its end waited for.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace win95
{

struct ChildSetup
{
    std::vector<std::string> args;        // args[0] is looked up in PATH
    std::vector<std::string> environment; // its whole environment; empty for this process's
    int output = -1;                      // its standard output; -1 for /dev/null
    int errors = -1;                      // its error output; -1 for errorFile
    std::string errorFile;                // made (0600) for its error output; "" for /dev/null
    std::vector<int> shared;              // open files it reaches under their own numbers
    bool ownGroup = false;                // in a process group of its own
};

// Starts the program with its standard input on /dev/null; its id, or -1
// with the cause kept for sys::Reason().
pid_t StartChild(const ChildSetup& setup);

// What a program run to its end left.
struct ChildOutput
{
    int status = -1; // as waitpid gives it
    std::string out; // its standard output, unless the setup sent it elsewhere
    std::string err; // its error output
};

// Runs the program to its end, collecting its error output, and its
// standard output unless the setup sends that elsewhere; false, with the cause kept, when it could
// not be started, its output could not be read whole, or its end not waited for.
bool RunChild(ChildSetup setup, ChildOutput& left);

} // namespace win95
