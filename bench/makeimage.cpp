// makeimage [--crowded] SIZE[K|M] [SEED] OUTPUT: writes a generated
// registry image of about SIZE bytes, of the varied or the crowded profile.
#include "bench/generator.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

bool ParseSize(const char* text, std::size_t& size)
{
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || errno != 0)
        return false;
    std::string unit = end;
    if (unit == "K")
        value <<= 10;
    else if (unit == "M")
        value <<= 20;
    else if (!unit.empty())
        return false;
    size = static_cast<std::size_t>(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    bench::Profile profile = bench::Profile::Varied;
    if (argc > 1 && std::strcmp(argv[1], "--crowded") == 0)
    {
        profile = bench::Profile::Crowded;
        --argc;
        ++argv;
    }
    std::size_t size = 0;
    char* end = nullptr;
    unsigned long long seed = argc == 4 ? std::strtoull(argv[2], &end, 10) : 1;
    if ((argc != 3 && argc != 4) || !ParseSize(argv[1], size) || (argc == 4 && *end != '\0'))
    {
        std::fprintf(stderr, "usage: makeimage [--crowded] SIZE[K|M] [SEED] OUTPUT\n");
        return 2;
    }
    const char* output = argv[argc - 1];
    std::FILE* file = std::fopen(output, "wb");
    if (file == nullptr)
    {
        std::fprintf(stderr, "%s: %s\n", output, std::strerror(errno));
        return 1;
    }
    bool written = bench::GenerateImage(
        seed, size,
        [file](const char* data, std::size_t length)
        { return std::fwrite(data, 1, length, file) == length; },
        profile);
    if (std::fclose(file) != 0 || !written)
    {
        std::fprintf(stderr, "%s: cannot write the image\n", output);
        return 1;
    }
    return 0;
}
