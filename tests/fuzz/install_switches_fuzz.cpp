// The installer's command-line scanner on any text: it stays inside the
// line, keeps the port terminated within its buffer, and reports a switch
// exactly when the line, past its spaces, begins with '/'.
#include "prnsetup/prnsetup.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Exactly the line and its zero byte, so that reading past it is caught.
    std::size_t length = strnlen(reinterpret_cast<const char*>(data), size);
    std::unique_ptr<char[]> line(new char[length + 1]);
    std::memcpy(line.get(), data, length);
    line[length] = '\0';

    BOOL found = ScanInstallSwitches(line.get());
    std::size_t spaces = std::strspn(line.get(), " ");
    if ((found != FALSE) != (line[spaces] == '/'))
        std::abort();
    if (std::memchr(portName, '\0', sizeof portName) == nullptr)
        std::abort();
    if (makeDefault != 0 && makeDefault != 1)
        std::abort();
    return 0;
}
