#include "platform/debug.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

// Each text goes to the file as a whole before the call returns, as through
// an unbuffered stderr, so that a trace survives a crash up to its last
// line; writing it directly spares the stdio lock and copy on every line.
void OutputDebugStringA(LPCSTR text)
{
    if (text == nullptr)
        return;
    std::size_t left = std::strlen(text);
    while (left > 0)
    {
        ssize_t written = write(STDERR_FILENO, text, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        left -= static_cast<std::size_t>(written);
    }
}
