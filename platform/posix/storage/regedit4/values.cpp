#include "platform/posix/storage/regedit4/values.h"
#include "platform/posix/api/registry.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace win95
{
namespace
{

// The value of each byte as a hex digit, -1 when it is none: one look-up
// per digit, as every byte of hex data goes through it.
struct HexDigits
{
    signed char value[256];

    constexpr HexDigits() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = -1;
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<signed char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            value[c] = static_cast<signed char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c)
            value[c] = static_cast<signed char>(c - 'A' + 10);
    }
};
constexpr HexDigits hexDigits;

int HexDigit(char c)
{
    return hexDigits.value[static_cast<unsigned char>(c)];
}

// Passes over "xx," five at a time (fifteen bytes) while all five are
// such, where the processor checks sixteen bytes at once.
const char* ByteRunsOf5(const char* at, const char* end)
{
#if defined(__SSE2__)
    constexpr int commas = 1 << 2 | 1 << 5 | 1 << 8 | 1 << 11 | 1 << 14;
    constexpr int digits = 0x7FFF & ~commas;
    const __m128i comma = _mm_set1_epi8(',');
    for (; end - at >= 16; at += 15)
    {
        __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        __m128i low = _mm_or_si128(chunk, _mm_set1_epi8(0x20));
        __m128i decimal = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
        __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(low, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(low, _mm_set1_epi8('f' + 1)));
        int hex = _mm_movemask_epi8(_mm_or_si128(decimal, letter));
        int isComma = _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, comma));
        if ((isComma & 0x7FFF) != commas || (hex & digits) != digits)
            break;
    }
#endif
    static_cast<void>(end);
    return at;
}

// Where the first quote or backslash stands, or `end`.
const char* QuoteOrEscape(const char* at, const char* end)
{
    return FirstOf(at, end, '"', '\\', '"');
}

// Where the first quote, backslash or line feed stands, or `end`.
const char* QuoteEscapeOrLineEnd(const char* at, const char* end)
{
    return FirstOf(at, end, '"', '\\', '\n');
}

std::string Quoted(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// Text that a quoted string holds as it is: one zero byte, at the end, and
// no line break (a line-based format cannot keep one inside quotes).
bool IsPlainText(const Value& value)
{
    const std::string& data = value.data;
    return value.type == REG_SZ && !data.empty() &&
           data.find_first_of(std::string_view("\0\r\n", 3)) == data.size() - 1 &&
           data.back() == '\0';
}

} // namespace

// Lines are short: the line feed is looked for right here, not by a call.
LineSpan LineAt(std::string_view text, std::size_t begin)
{
    const char* feed = FirstOf(text.data() + begin, text.data() + text.size(), '\n', '\n', '\n');
    std::size_t end = static_cast<std::size_t>(feed - text.data());
    std::size_t contentEnd = end > begin && text[end - 1] == '\r' ? end - 1 : end;
    return {contentEnd, end < text.size() ? end + 1 : end};
}

// The closing quote of a string whose text starts at `at`, with only the
// escapes \\ and \" and no line break in it; null if it has another.
const char* ClosingQuote(const char* at, const char* end)
{
    for (;;)
    {
        at = QuoteEscapeOrLineEnd(at, end);
        if (at == end || *at == '\n')
            return nullptr;
        if (*at == '"')
            return at;
        if (end - at < 2 || (at[1] != '\\' && at[1] != '"'))
            return nullptr;
        at += 2;
    }
}

std::size_t PlainTextEntry(std::string_view text, std::size_t begin)
{
    const char* at = text.data() + begin;
    const char* end = text.data() + text.size();
    if (at != end && *at == '@')
        ++at;
    else
    {
        if (at == end || *at != '"' || (at = ClosingQuote(at + 1, end)) == nullptr)
            return 0;
        ++at;
    }
    if (end - at < 2 || at[0] != '=' || at[1] != '"' || (at = ClosingQuote(at + 2, end)) == nullptr)
        return 0;
    ++at;
    if (at != end && *at == '\r')
        ++at;
    if (at == end)
        return text.size();
    return *at == '\n' ? static_cast<std::size_t>(at + 1 - text.data()) : 0;
}

std::size_t SkipBlanks(std::string_view text, std::size_t at, std::size_t end)
{
    while (at < end && IsBlank(text[at]))
        ++at;
    return at;
}

bool ValueReader::Read(Value* value)
{
    std::string name;
    std::string data;
    std::string* out = value != nullptr ? &data : nullptr;
    DWORD type = REG_SZ;
    SkipBlanks();
    if (at_ < contentEnd_ && text_[at_] == '@')
        ++at_;
    else if (!ReadQuoted(value != nullptr ? &name : nullptr))
        return false;
    SkipBlanks();
    if (at_ == contentEnd_ || text_[at_] != '=')
        return Fail("missing '=' after the value name");
    ++at_;
    SkipBlanks();
    if (at_ == contentEnd_)
        return Fail("missing value data");
    if (text_[at_] == '"')
    {
        if (!ReadQuoted(out))
            return false;
        SkipBlanks();
        if (at_ != contentEnd_)
            return Fail("junk after the value");
        data.push_back('\0');
    }
    else if (Takes("dword:"))
    {
        type = REG_DWORD;
        if (!ReadDword(out))
            return false;
    }
    else if (Takes("hex:"))
    {
        type = REG_BINARY;
        if (!ReadHex(out))
            return false;
    }
    else if (Takes("hex("))
    {
        if (!ReadNumber(type) || !Takes("):"))
            return Fail("bad value type");
        if (!ReadHex(out))
            return false;
    }
    else
        return Fail("unknown kind of value data");
    if (value != nullptr)
    {
        value->name = std::move(name);
        value->type = type;
        value->data = std::move(data);
    }
    return true;
}

// One to eight hex digits.
bool ValueReader::ReadNumber(DWORD& number)
{
    std::size_t digits = 0;
    number = 0;
    for (; at_ < contentEnd_ && HexDigit(text_[at_]) >= 0; ++at_, ++digits)
        number = number * 16 + static_cast<DWORD>(HexDigit(text_[at_]));
    return digits >= 1 && digits <= 8;
}

// Runs of plain characters are passed over in a tight loop and taken as
// a whole; only quotes and escapes stop it.
bool ValueReader::ReadQuoted(std::string* out)
{
    if (at_ == contentEnd_ || text_[at_] != '"')
        return Fail("expected a value name");
    const char* at = text_.data() + at_ + 1;
    const char* end = text_.data() + contentEnd_;
    for (;;)
    {
        const char* run = at;
        at = QuoteOrEscape(at, end);
        if (out != nullptr)
            out->append(run, static_cast<std::size_t>(at - run));
        if (at == end)
            return Fail("unterminated string");
        if (*at == '"')
        {
            at_ = static_cast<std::size_t>(at + 1 - text_.data());
            return true;
        }
        if (++at == end)
            return Fail("unterminated string");
        if (*at != '\\' && *at != '"')
            return Fail("bad escape in string");
        if (out != nullptr)
            out->push_back(*at);
        ++at;
    }
}

bool ValueReader::ReadDword(std::string* out)
{
    DWORD number = 0;
    bool good = ReadNumber(number);
    SkipBlanks();
    if (!good || at_ != contentEnd_)
        return Fail("bad dword value");
    if (out != nullptr)
        for (int shift = 0; shift < 32; shift += 8)
            out->push_back(static_cast<char>(number >> shift));
    return true;
}

// Takes "xx," again and again, the usual shape of hex data, in a tight
// loop; false when there is none.
bool ValueReader::ReadByteRun(std::string* out)
{
    const char* begin = text_.data() + at_;
    const char* end = text_.data() + contentEnd_;
    const char* at = begin;
    if (out == nullptr)
    {
        at = ByteRunsOf5(at, end);
        for (; end - at >= 3 && at[2] == ','; at += 3)
            if ((HexDigit(at[0]) | HexDigit(at[1])) < 0)
                break;
    }
    else
    {
        for (; end - at >= 3 && at[2] == ','; at += 3)
        {
            int high = HexDigit(at[0]);
            int low = HexDigit(at[1]);
            if ((high | low) < 0)
                break;
            out->push_back(static_cast<char>(high * 16 + low));
        }
    }
    at_ += static_cast<std::size_t>(at - begin);
    return at != begin;
}

// Two-digit bytes separated by commas; after a comma (or right after the
// type) a '\' at the end of a line continues the data on the next line.
bool ValueReader::ReadHex(std::string* out)
{
    bool needByte = true;
    bool anyByte = false;
    bool continued = false;
    for (;;)
    {
        SkipBlanks();
        if (at_ == contentEnd_)
        {
            if (continued)
                return Fail("empty continuation line");
            if (needByte && anyByte)
                return Fail("hex data ends with a comma");
            return true;
        }
        if (needByte && ReadByteRun(out))
        {
            anyByte = true;
            continued = false;
            continue;
        }
        char c = text_[at_];
        if (c == '\\')
        {
            ++at_;
            SkipBlanks();
            if (at_ != contentEnd_)
                return Fail("junk after '\\'");
            if (!needByte)
                return Fail("missing ',' before '\\'");
            if (next_ == text_.size())
                return Fail("'\\' on the last line");
            StartLine(next_);
            ++line_;
            continued = true;
        }
        else if (needByte)
        {
            int high = HexDigit(c);
            int low = at_ + 1 < contentEnd_ ? HexDigit(text_[at_ + 1]) : -1;
            if (high < 0 || low < 0)
                return Fail("bad hex byte");
            if (out != nullptr)
                out->push_back(static_cast<char>(high * 16 + low));
            at_ += 2;
            needByte = false;
            anyByte = true;
            continued = false;
        }
        else
        {
            if (c != ',')
                return Fail("missing ',' between hex bytes");
            ++at_;
            needByte = true;
        }
    }
}

// The value as regedit writes it. Long hex data is broken, as regedit
// breaks it, after the first comma that brings the line to 77 columns or
// more, so that with the '\' no line is longer than 80; continuation lines
// are indented by two spaces.
std::string CanonicalLine(const Value& value)
{
    std::string line = value.name.empty() ? "@=" : Quoted(value.name) + "=";
    const std::string& data = value.data;
    if (IsPlainText(value))
        return line + Quoted(std::string_view(data).substr(0, data.size() - 1));
    char prefix[24];
    if (value.type == REG_DWORD && data.size() == 4)
    {
        DWORD number = 0;
        for (int i = 3; i >= 0; --i)
            number = number << 8 | static_cast<unsigned char>(data[static_cast<std::size_t>(i)]);
        std::snprintf(prefix, sizeof prefix, "dword:%08x", static_cast<unsigned>(number));
        return line + prefix;
    }
    if (value.type == REG_BINARY)
        std::snprintf(prefix, sizeof prefix, "hex:");
    else
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    line += prefix;
    static const char digits[] = "0123456789abcdef";
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        unsigned char byte = static_cast<unsigned char>(data[i]);
        line += digits[byte >> 4];
        line += digits[byte & 15];
        if (i + 1 == data.size())
            break;
        line += ',';
        if (line.size() - lineStart >= 77)
        {
            line += "\\\r\n  ";
            lineStart = line.size() - 2;
        }
    }
    return line;
}

} // namespace win95
