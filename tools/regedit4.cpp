// REGEDIT4 text: key lines run from '[' to the last ']' of the line; value
// lines are @ or a quoted name, '=', then a quoted string, dword:, hex: or
// hex(<type>):, whose bytes may continue over lines ending in '\'. Blank
// lines and lines starting with ';' are passed over.
#include "tools/regedit4.h"

namespace regconv
{
namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The text a line at a time, without its CR LF or LF.
class Lines
{
  public:
    explicit Lines(std::string_view text) : text_(text) {}

    bool Next(std::string_view& line)
    {
        if (at_ >= text_.size())
            return false;
        std::size_t end = text_.find('\n', at_);
        if (end == std::string_view::npos)
            end = text_.size();
        line = text_.substr(at_, end - at_);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        at_ = end + 1;
        ++number_;
        return true;
    }
    std::size_t Number() const
    {
        return number_;
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
    std::size_t number_ = 0;
};

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// One value line (and the lines its hex data continues on).
class ValueParser
{
  public:
    ValueParser(Lines& lines, std::string_view line) : lines_(lines), rest_(line) {}

    const char* Parse(std::string& name, std::uint32_t& type, std::string& data)
    {
        Skip();
        if (Take("@"))
            name.clear();
        else if (const char* bad = Quoted(name))
            return bad;
        Skip();
        if (!Take("="))
            return "missing '=' after the value name";
        Skip();
        if (!rest_.empty() && rest_.front() == '"')
        {
            type = 1;
            if (const char* bad = Quoted(data))
                return bad;
            data.push_back('\0');
            Skip();
            return rest_.empty() ? nullptr : "junk after the value";
        }
        if (Take("dword:"))
        {
            type = 4;
            std::uint32_t number = 0;
            if (!Number(number) || (Skip(), !rest_.empty()))
                return "bad dword value";
            for (int shift = 0; shift < 32; shift += 8)
                data.push_back(static_cast<char>(number >> shift));
            return nullptr;
        }
        if (Take("hex:"))
            type = 3;
        else if (!Take("hex(") || !Number(type) || !Take("):"))
            return "bad value type";
        return Hex(data);
    }

  private:
    void Skip()
    {
        while (!rest_.empty() && IsBlank(rest_.front()))
            rest_.remove_prefix(1);
    }
    bool Take(std::string_view word)
    {
        if (rest_.substr(0, word.size()) != word)
            return false;
        rest_.remove_prefix(word.size());
        return true;
    }
    bool Number(std::uint32_t& number)
    {
        std::size_t digits = 0;
        for (number = 0; !rest_.empty() && HexDigit(rest_.front()) >= 0; ++digits)
        {
            number = number * 16 + static_cast<std::uint32_t>(HexDigit(rest_.front()));
            rest_.remove_prefix(1);
        }
        return digits >= 1 && digits <= 8;
    }
    const char* Quoted(std::string& out)
    {
        if (!Take("\""))
            return "expected a quoted name";
        while (!rest_.empty() && rest_.front() != '"')
        {
            if (rest_.front() == '\\')
            {
                rest_.remove_prefix(1);
                if (rest_.empty() || (rest_.front() != '\\' && rest_.front() != '"'))
                    return "bad escape in string";
            }
            out.push_back(rest_.front());
            rest_.remove_prefix(1);
        }
        return Take("\"") ? nullptr : "unterminated string";
    }
    const char* Hex(std::string& out)
    {
        for (bool first = true;; first = false)
        {
            Skip();
            if (rest_.empty())
                return nullptr;
            if (!first && !Take(","))
                return "missing ',' between hex bytes";
            Skip();
            if (Take("\\"))
            {
                Skip();
                if (!rest_.empty() || !lines_.Next(rest_))
                    return "bad line continuation";
                Skip();
                if (rest_.empty())
                    return "empty continuation line";
            }
            if (rest_.size() < 2 || HexDigit(rest_[0]) < 0 || HexDigit(rest_[1]) < 0)
                return "bad hex byte";
            out.push_back(static_cast<char>(HexDigit(rest_[0]) * 16 + HexDigit(rest_[1])));
            rest_.remove_prefix(2);
        }
    }

    Lines& lines_;
    std::string_view rest_;
};

} // namespace

bool ReadText(std::string_view text, const TextSink& sink, win95::Fault& fault)
{
    Lines lines(text);
    std::string_view line;
    auto fail = [&](const char* what)
    {
        fault = {"line " + std::to_string(lines.Number()), what};
        return false;
    };
    if (!lines.Next(line) || TrimBlanks(line) != "REGEDIT4")
        return fail("not a REGEDIT4 file");
    bool inKey = false;
    while (lines.Next(line))
    {
        std::string_view content = TrimBlanks(line);
        if (content.empty() || content.front() == ';')
            continue;
        if (line.front() == '[')
        {
            if (content.back() != ']' || content.size() < 3)
                return fail("bad key line");
            inKey = true;
            if (!sink.key(content.substr(1, content.size() - 2)))
                return fail("");
            continue;
        }
        if (!inKey)
            return fail("value before the first key");
        std::string name;
        std::string data;
        std::uint32_t type = 0;
        ValueParser parser(lines, line);
        const std::size_t first = lines.Number();
        if (const char* bad = parser.Parse(name, type, data))
            return fail(bad);
        if (!sink.value(name, type, data))
        {
            fault = {"line " + std::to_string(first), ""};
            return false;
        }
    }
    return true;
}

} // namespace regconv
