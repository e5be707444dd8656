#include "platform/posix/machine/messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace win95
{
namespace
{

// Set once the run has said that the machine refused it or that something
// could not be saved.
bool runFailed = false;

__attribute__((format(printf, 1, 0))) void Say(const char* format, va_list arguments)
{
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
}

} // namespace

bool Asked(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void Complain(const char* format, ...)
{
    static bool complained = false;
    runFailed = true;
    if (complained)
        return;
    complained = true;
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
}

void Tell(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
}

int RunExitStatus()
{
    return runFailed && Asked("WIN95STRICT") ? 1 : 0;
}

} // namespace win95
