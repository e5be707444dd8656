// The syntax of a REGEDIT4 image line by line: where lines end, value
// entries read (or only checked) from their text, and values written in
// canonical form, as regedit writes them.
#pragma once

#include "platform/posix/os/text.h"
#include "platform/posix/storage/storage.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <string>
#include <string_view>

namespace win95
{

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// True when one of the eight bytes of the word is `c` (the bit trick finds
// a zero byte in the word XOR c repeated).
inline bool HoldsByte(std::uint64_t word, unsigned char c)
{
    std::uint64_t x = word ^ (0x0101010101010101ull * c);
    return ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0;
}

// Where the first of three bytes stands, or `end`: sixteen bytes at a time
// where the processor compares them at once, else eight.
inline const char* FirstOf(const char* at, const char* end, char a, char b, char c)
{
#if defined(__SSE2__)
    const __m128i wantA = _mm_set1_epi8(a);
    const __m128i wantB = _mm_set1_epi8(b);
    const __m128i wantC = _mm_set1_epi8(c);
    for (; end - at >= 16; at += 16)
    {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        __m128i hits =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, wantA), _mm_cmpeq_epi8(chunk, wantB)),
                         _mm_cmpeq_epi8(chunk, wantC));
        if (int mask = _mm_movemask_epi8(hits))
            return at + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (std::uint64_t word; end - at >= 8; at += 8)
    {
        std::memcpy(&word, at, 8);
        if (HoldsByte(word, static_cast<unsigned char>(a)) ||
            HoldsByte(word, static_cast<unsigned char>(b)) ||
            HoldsByte(word, static_cast<unsigned char>(c)))
            break;
    }
    while (at != end && *at != a && *at != b && *at != c)
        ++at;
    return at;
}

// A line of the text: its content ends before the CR LF or LF.
struct LineSpan
{
    std::size_t contentEnd;
    std::size_t next; // where the following line starts (the text's end after the last)
};

LineSpan LineAt(std::string_view text, std::size_t begin);
std::size_t SkipBlanks(std::string_view text, std::size_t at, std::size_t end);

// The commonest value entry, a whole line "name"="text" or @="text" with
// no blank or line break and no escapes but \\ and \": where the next line
// starts if the line at `begin` is one, else 0. Whatever it takes,
// ValueReader takes too.
std::size_t PlainTextEntry(std::string_view text, std::size_t begin);

// Reads one value entry: its name, '=', and its data, which may continue
// over further lines ending in '\' when it is hex data. Without a Value
// to fill it only checks the syntax.
class ValueReader
{
  public:
    // Starts on the line at `begin`, whose span the caller has found.
    ValueReader(std::string_view text, std::size_t begin, LineSpan span, std::size_t line)
        : text_(text), at_(begin), contentEnd_(span.contentEnd), next_(span.next), line_(line)
    {
    }

    bool Read(Value* value);
    std::size_t Next() const
    {
        return next_;
    }
    std::size_t Line() const
    {
        return line_;
    }
    const char* What() const
    {
        return what_;
    }

  private:
    void StartLine(std::size_t begin)
    {
        LineSpan span = LineAt(text_, begin);
        at_ = begin;
        contentEnd_ = span.contentEnd;
        next_ = span.next;
    }
    bool Fail(const char* what)
    {
        what_ = what;
        return false;
    }
    void SkipBlanks()
    {
        at_ = win95::SkipBlanks(text_, at_, contentEnd_);
    }
    bool Takes(std::string_view word)
    {
        if (contentEnd_ - at_ < word.size() || text_.compare(at_, word.size(), word) != 0)
            return false;
        at_ += word.size();
        return true;
    }
    bool ReadNumber(DWORD& number);
    bool ReadQuoted(std::string* out);
    bool ReadDword(std::string* out);
    bool ReadHex(std::string* out);
    bool ReadByteRun(std::string* out);

    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t contentEnd_ = 0;
    std::size_t next_ = 0;
    std::size_t line_;
    const char* what_ = "";
};

// The value's line (or lines) as regedit writes it, without the line end.
std::string CanonicalLine(const Value& value);

} // namespace win95
