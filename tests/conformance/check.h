// A few test macros that build with MinGW-w64 as well as natively, for the
// conformance suite (GoogleTest is not packaged for MinGW-w64 on Debian).
#pragma once

#include <string>
#include <type_traits>

namespace check
{

void Register(const char* name, void (*run)());
void Fail(const char* file, int line, const std::string& text);
// Says where Windows 95 (and the emulation, which follows it) and Wine differ.
void Note(const std::string& text);

std::string Shown(long long value);
std::string Shown(const std::string& value);

inline std::string Text(const std::string& value)
{
    return value;
}
inline std::string Text(const char* value)
{
    return value == nullptr ? "(null)" : value;
}

// Numbers are compared as numbers, whatever their types; anything else as text.
template <typename Expected, typename Actual>
void Equal(const char* file, int line, const char* text, const Expected& expected,
           const Actual& actual)
{
    if constexpr (std::is_integral_v<Expected> && std::is_integral_v<Actual>)
    {
        long long wanted = expected;
        long long got = actual;
        if (wanted != got)
            Fail(file, line,
                 std::string(text) + " is " + Shown(got) + ", expected " + Shown(wanted));
    }
    else
    {
        std::string wanted = Text(expected);
        std::string got = Text(actual);
        if (wanted != got)
            Fail(file, line,
                 std::string(text) + " is " + Shown(got) + ", expected " + Shown(wanted));
    }
}

// Windows 95's result, which the emulation gives, where Wine gives another
// one, following Windows NT: the build for Windows runs under Wine.
template <typename T> T Windows95OrWine(T windows95, T wine, const char* why)
{
    Note(std::string("Windows 95 and Wine differ: ") + why);
#ifdef _WIN32
    (void)windows95;
    return wine;
#else
    (void)wine;
    return windows95;
#endif
}

struct Registrar
{
    Registrar(const char* name, void (*run)())
    {
        Register(name, run);
    }
};

} // namespace check

#define CONFORMANCE_TEST(name)                                                                     \
    static void name();                                                                            \
    static const check::Registrar name##Registrar(#name, name);                                    \
    static void name()

#define CHECK(condition)                                                                           \
    ((condition) ? (void)0 : check::Fail(__FILE__, __LINE__, "not true: " #condition))

#define CHECK_EQ(expected, actual) check::Equal(__FILE__, __LINE__, #actual, (expected), (actual))
