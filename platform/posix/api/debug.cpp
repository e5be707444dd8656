#include "platform/debug.h"
#include "platform/posix/os/sys.h"

#include <cstring>
#include <unistd.h>

// Each text goes to the file as a whole before the call returns, as through
// an unbuffered stderr, so that a trace survives a crash up to its last
// line; writing it directly spares the stdio lock and copy on every line.
void OutputDebugStringA(LPCSTR text)
{
    if (text != nullptr)
        win95::sys::WriteAll(STDERR_FILENO, text, std::strlen(text));
}
