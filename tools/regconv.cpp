// regconv: converts a Windows 9x binary registry file (SYSTEM.DAT,
// USER.DAT) to REGEDIT4 text, and REGEDIT4 text to a binary registry file.
// The direction follows from the input's first bytes.
#include "tools/convert.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

const char usage[] =
    "usage: regconv [--root KEY] [--drop-oversize] INPUT OUTPUT\n"
    "       regconv --check FILE\n"
    "  INPUT is a Windows 9x registry file (CREG) or REGEDIT4 text;\n"
    "  OUTPUT is written in the other form.\n"
    "  --root KEY        the key the binary file holds (default HKEY_LOCAL_MACHINE;\n"
    "                    HKEY_USERS for USER.DAT)\n"
    "  --drop-oversize   leave out, naming each, values and keys longer than\n"
    "                    Windows 9x allows, instead of stopping\n"
    "  --check FILE      names, one line each, every fault of a Windows 9x registry\n"
    "                    file and every counter or free list Windows could not\n"
    "                    safely allocate from; exits 1 when it finds any\n";

bool ReadFile(const char* path, std::string& bytes)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    const bool good = std::ferror(file) == 0;
    std::fclose(file);
    return good;
}

// One line for each fault; a header word that only differs from what
// Windows writes is named as such.
int CheckFile(const char* path)
{
    std::string bytes;
    if (!ReadFile(path, bytes))
    {
        std::fprintf(stderr, "regconv: %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    const std::vector<win95::Hive9xError> problems = win95::Hive9x::Check(std::move(bytes));
    for (const win95::Hive9xError& problem : problems)
        std::printf("%s: offset 0x%zx: %s%s\n", path, problem.offset, problem.what.c_str(),
                    problem.unusual ? " (the programs keep it as it is)" : "");
    if (problems.empty())
        std::printf("%s: sound\n", path);
    return problems.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0)
        return CheckFile(argv[2]);
    std::string root = "HKEY_LOCAL_MACHINE";
    bool dropOversize = false;
    int at = 1;
    for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at)
    {
        if (std::strcmp(argv[at], "--root") == 0 && at + 1 < argc)
            root = argv[++at];
        else if (std::strcmp(argv[at], "--drop-oversize") == 0)
            dropOversize = true;
        else
            break;
    }
    if (argc - at != 2)
    {
        std::fputs(usage, stderr);
        return 2;
    }
    const char* input = argv[at];
    const char* output = argv[at + 1];
    std::string bytes;
    if (!ReadFile(input, bytes))
    {
        std::fprintf(stderr, "regconv: %s: %s\n", input, std::strerror(errno));
        return 1;
    }

    std::unique_ptr<win95::Hive9x> hive;
    const bool binary = bytes.compare(0, 4, "CREG") == 0;
    if (binary)
    {
        win95::Hive9xError error;
        hive = win95::Hive9x::Read(std::move(bytes), error);
        if (hive == nullptr)
        {
            std::fprintf(stderr, "regconv: %s: offset 0x%zx: %s\n", input, error.offset,
                         error.what.c_str());
            return 1;
        }
    }
    else
    {
        std::vector<std::string> messages;
        hive = regconv::HiveFromText(bytes, root, dropOversize, messages);
        for (const std::string& message : messages)
            std::fprintf(stderr, "regconv: %s: %s\n", input, message.c_str());
        if (hive == nullptr)
            return 1;
    }

    std::FILE* out = std::fopen(output, "wb");
    if (out == nullptr)
    {
        std::fprintf(stderr, "regconv: %s: %s\n", output, std::strerror(errno));
        return 1;
    }
    auto put = [out](const char* data, std::size_t size)
    { return std::fwrite(data, 1, size, out) == size; };
    bool written = binary ? regconv::TextFromHive(*hive, root, put) : hive->Write(put);
    if (std::fclose(out) != 0)
        written = false;
    if (!written)
    {
        std::fprintf(stderr, "regconv: %s: cannot write\n", output);
        std::remove(output);
        return 1;
    }
    return 0;
}
