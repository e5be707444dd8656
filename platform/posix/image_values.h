// The syntax of a REGEDIT4 image line by line: where lines end, value
// entries read (or only checked) from their text, and values written in
// canonical form, as regedit writes them.
#pragma once

#include "platform/posix/storage.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace win95
{

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

inline char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Names compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b);

// A line of the text: its content ends before the CR LF or LF.
struct LineSpan
{
    std::size_t contentEnd;
    std::size_t next; // where the following line starts (the text's end after the last)
};

LineSpan LineAt(std::string_view text, std::size_t begin);
std::size_t SkipBlanks(std::string_view text, std::size_t at, std::size_t end);

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
