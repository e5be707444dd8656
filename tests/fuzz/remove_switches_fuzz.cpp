// The remover's command-line scanner on any text: it stays inside the line
// and keeps the name terminated within its 38 characters.
#include "prnpurge/prnpurge.h"

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

    std::memset(driverName, 0, sizeof driverName);
    ScanRemoveSwitches(line.get());
    if (strnlen(driverName, sizeof driverName) > 38)
        std::abort();
    std::size_t spaces = std::strspn(line.get(), " ");
    if (driverName[0] != '\0' && line[spaces] != '/')
        std::abort();
    return 0;
}
