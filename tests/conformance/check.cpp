#include "check.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#ifndef _WIN32
#include <filesystem>
#include <system_error>
#include <unistd.h>
#endif

namespace check
{
namespace
{
struct Test
{
    const char* name;
    void (*run)();
};

std::vector<Test>& Tests()
{
    static std::vector<Test> tests;
    return tests;
}

int failures = 0;
} // namespace

void Register(const char* name, void (*run)())
{
    Tests().push_back({name, run});
}

void Fail(const char* file, int line, const std::string& text)
{
    std::printf("%s:%d: FAILED: %s\n", file, line, text.c_str());
    ++failures;
}

void Note(const std::string& text)
{
    std::printf("  note: %s\n", text.c_str());
}

std::string Shown(long long value)
{
    return std::to_string(value);
}

std::string Shown(const std::string& value)
{
    std::string shown = "\"";
    for (unsigned char c : value)
    {
        if (c >= ' ' && c < 0x7f && c != '"' && c != '\\')
        {
            shown += static_cast<char>(c);
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        shown += escape;
    }
    return shown + "\"";
}

} // namespace check

// Natively, the registry calls act on the emulated machine named by
// WIN95PREFIX: a fresh folder becomes the default machine at first use.
int main()
{
#ifndef _WIN32
    char folder[] = "/tmp/tavrine-conformance-XXXXXX";
    if (mkdtemp(folder) == nullptr || setenv("WIN95PREFIX", folder, 1) != 0)
    {
        std::printf("FAILED: no machine folder\n");
        return 1;
    }
#endif
    int failedTests = 0;
    for (const check::Test& test : check::Tests())
    {
        std::printf("%s\n", test.name);
        int failuresBefore = check::failures;
        test.run();
        if (check::failures != failuresBefore)
            ++failedTests;
    }
    if (failedTests != 0)
    {
        std::printf("conformance: %d of %d tests FAILED\n", failedTests,
                    static_cast<int>(check::Tests().size()));
        return 1;
    }
    std::printf("conformance: all %d tests passed\n", static_cast<int>(check::Tests().size()));
#ifndef _WIN32
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
#endif
    return 0;
}
