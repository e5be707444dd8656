// Names compared as Windows 9x compares key, value and file names: only
// the ASCII letters A-Z and a-z are folded, whatever the locale and
// whatever the bytes from 0x80 up mean. The one copy of that rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace win95
{

inline char AsciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string AsciiUpper(std::string text)
{
    for (char& c : text)
        c = AsciiUpper(c);
    return text;
}

// Up to eight bytes as one word, zeros in the place of the missing ones.
inline std::uint64_t LoadWord(const char* bytes, std::size_t count)
{
    std::uint64_t word = 0;
    if (count == 8)
        std::memcpy(&word, bytes, 8);
    else
        for (std::size_t at = 0; at < count; ++at)
            word |= std::uint64_t{static_cast<unsigned char>(bytes[at])} << (8 * at);
    return word;
}

// The word with each ASCII capital letter made small: a byte is a capital
// when it is below 0x80, above '@' and not above 'Z'.
inline std::uint64_t LowerWord(std::uint64_t word)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    std::uint64_t seven = word & (0x7F * ones);
    std::uint64_t aboveAt = seven + (0x80 - 'A') * ones;
    std::uint64_t aboveZ = seven + (0x7F - 'Z') * ones;
    std::uint64_t capital = aboveAt & ~aboveZ & ~word & (0x80 * ones);
    return word | capital >> 2;
}

// True when the names are the same but for ASCII case; eight bytes at a
// time, since the registry compares names on every look-up.
inline bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    std::size_t at = 0;
    for (; at + 8 <= a.size(); at += 8)
        if (LowerWord(LoadWord(a.data() + at, 8)) != LowerWord(LoadWord(b.data() + at, 8)))
            return false;
    return at == a.size() || LowerWord(LoadWord(a.data() + at, a.size() - at)) ==
                                 LowerWord(LoadWord(b.data() + at, b.size() - at));
}

} // namespace win95
