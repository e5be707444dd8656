// The REGEDIT4 image: reading and checking the text, the key tree over it,
// lazily parsed values, and writing back with untouched sections copied
// from the text as they stand.
#include "platform/posix/keys.h"
#include "platform/posix/registry.h"
#include "platform/posix/sys.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace win95
{
namespace
{

constexpr KeyId top = 0; // above the root keys; has no name and no section

enum KeyFlag : unsigned
{
    Pooled = 1,  // the name is in names_, not in the text
    Deleted = 2, // removed, with everything under it
    Created = 4, // made by this run, so it stands in no section
    Quiet = 8,   // made only to reach a root key; written once it holds a value
    Dirty = 16,  // its values changed
};

// The names a HKEY_CLASSES_ROOT key line stands for, at the start of names_.
constexpr std::string_view fixedNames = "HKEY_LOCAL_MACHINESOFTWAREClasses";
constexpr std::uint32_t localMachineName = 0;
constexpr std::uint32_t localMachineLength = 18;
constexpr std::uint32_t softwareName = 18;
constexpr std::uint32_t softwareLength = 8;
constexpr std::uint32_t classesName = 26;
constexpr std::uint32_t classesLength = 7;

// The root keys a key line may name besides HKEY_CLASSES_ROOT. Only
// HKEY_LOCAL_MACHINE is reachable by the programs; the others are kept as
// they are.
constexpr std::string_view plainRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS",
                                           "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::uint32_t Hash(KeyId parent, std::string_view name)
{
    std::uint32_t hash = 2166136261u ^ (parent * 0x9E3779B1u);
    for (char c : name)
    {
        hash ^= static_cast<unsigned char>(Lower(c));
        hash *= 16777619u;
    }
    hash ^= hash >> 15;
    hash *= 0x2C1B3C6Du;
    hash ^= hash >> 12;
    return hash;
}

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

// The length of the beginning two texts share, compared a word at a time.
std::size_t CommonPrefix(std::string_view a, std::string_view b)
{
    std::size_t common = std::min(a.size(), b.size());
    std::size_t same = 0;
    for (std::uint64_t x, y; same + 8 <= common; same += 8)
    {
        std::memcpy(&x, a.data() + same, 8);
        std::memcpy(&y, b.data() + same, 8);
        if (x != y)
            break;
    }
    while (same < common && a[same] == b[same])
        ++same;
    return same;
}

// True when one of the eight bytes of the word is `c` (the bit trick finds
// a zero byte in the word XOR c repeated).
bool HoldsByte(std::uint64_t word, unsigned char c)
{
    std::uint64_t x = word ^ (0x0101010101010101ull * c);
    return ((x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull) != 0;
}

// Where the first quote or backslash stands, or `end`; eight bytes at a
// time while no word holds either.
const char* QuoteOrEscape(const char* at, const char* end)
{
    for (std::uint64_t word; end - at >= 8; at += 8)
    {
        std::memcpy(&word, at, 8);
        if (HoldsByte(word, '"') || HoldsByte(word, '\\'))
            break;
    }
    while (at != end && *at != '"' && *at != '\\')
        ++at;
    return at;
}

// A line of the text: its content ends before the CR LF or LF.
struct LineSpan
{
    std::size_t contentEnd;
    std::size_t next; // where the following line starts (the text's end after the last)
};

LineSpan LineAt(std::string_view text, std::size_t begin)
{
    std::size_t end = text.find('\n', begin);
    if (end == std::string_view::npos)
        end = text.size();
    std::size_t contentEnd = end > begin && text[end - 1] == '\r' ? end - 1 : end;
    return {contentEnd, end < text.size() ? end + 1 : end};
}

std::size_t SkipBlanks(std::string_view text, std::size_t at, std::size_t end)
{
    while (at < end && IsBlank(text[at]))
        ++at;
    return at;
}

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

} // namespace

// The key path of the previous key line, to find the keys of the next one
// without a lookup when they share the beginning (they mostly do).
struct Image::LoadPath
{
    std::string_view text;         // the path, between the brackets
    std::vector<std::size_t> ends; // where each of its names ends in the text
    std::vector<KeyId> keys;       // the key of each of its names
};

// Gathers the output: spans of the text that follow each other go out as
// one piece, and written lines are collected before they go out.
class Image::Output
{
  public:
    Output(std::string_view text, const std::function<bool(const char*, std::size_t)>& write)
        : text_(text), write_(write)
    {
    }

    void Copy(std::size_t begin, std::size_t end)
    {
        if (begin == end)
            return;
        PutLines();
        if (spanEnd_ != begin)
        {
            PutSpan();
            spanBegin_ = begin;
        }
        spanEnd_ = end;
        last_ = text_[end - 1];
    }

    // A line with CR LF, ending the line the output is inside first (a CR
    // at the very end of the text ends a line too, and gets its LF).
    void Line(std::string_view line)
    {
        PutSpan();
        if (last_ == '\r')
            lines_ += '\n';
        else if (last_ != '\n')
            lines_ += "\r\n";
        lines_ += line;
        lines_ += "\r\n";
        last_ = '\n';
        if (lines_.size() >= 65536)
            PutLines();
    }

    bool Finish()
    {
        PutSpan();
        PutLines();
        return good_;
    }

  private:
    void Put(const char* data, std::size_t size)
    {
        if (good_ && !write_(data, size))
            good_ = false;
    }
    void PutSpan()
    {
        if (spanBegin_ != spanEnd_)
            Put(text_.data() + spanBegin_, spanEnd_ - spanBegin_);
        spanBegin_ = spanEnd_ = 0;
    }
    void PutLines()
    {
        if (!lines_.empty())
            Put(lines_.data(), lines_.size());
        lines_.clear();
    }

    std::string_view text_;
    const std::function<bool(const char*, std::size_t)>& write_;
    std::size_t spanBegin_ = 0;
    std::size_t spanEnd_ = 0;
    std::string lines_;
    char last_ = '\n';
    bool good_ = true;
};

Image::Image() : names_(fixedNames)
{
    Key root;
    root.name = 0;
    root.nameLength = 0;
    root.flags = 0;
    root.parent = root.firstChild = root.lastChild = root.nextSibling = NoKey;
    root.firstSection = root.origin = root.lastSubtree = NoSection;
    keys_.push_back(root);
}

bool Image::Load(ImageText text, ImageError& error)
{
    source_ = std::move(text);
    text_ = source_.View();
    std::string_view t = text_;
    auto fail = [&error](std::size_t line, const char* what)
    {
        error.line = line;
        error.what = what;
        return false;
    };
    if (t.size() >= NoSection)
        return fail(1, "image too large");
    std::size_t nul = t.find('\0');
    if (nul != std::string_view::npos)
        return fail(1 + static_cast<std::size_t>(std::count(t.begin(), t.begin() + nul, '\n')),
                    "NUL byte");
    LineSpan header = LineAt(t, 0);
    std::size_t headerEnd = header.contentEnd;
    while (headerEnd > 0 && IsBlank(t[headerEnd - 1]))
        --headerEnd;
    if (t.substr(0, headerEnd) != "REGEDIT4")
        return fail(1, "not a REGEDIT4 image");

    // The index is sized for the keys of all key lines at once. '[' is
    // rare outside key lines, so looking for it finds them fastest.
    std::size_t keyLines = 0;
    for (std::size_t at = t.find('['); at != std::string_view::npos; at = t.find('[', at + 1))
        if (at > 0 && t[at - 1] == '\n')
            ++keyLines;
    std::size_t slots = 64;
    while (slots < keyLines * 2 + 2)
        slots *= 2;
    Reindex(slots);
    keys_.reserve(keyLines + 256);
    sections_.reserve(keyLines);

    // Looking each new key up as it comes costs a cache miss per key on a
    // large image; so keys are first taken as new, and indexed at the end
    // in one sweep that finds whether a key line named a key twice. Only
    // then is the text read again with a look-up for each key.
    deferIndex_ = true;
    bool read = ReadLines(header.next, error);
    deferIndex_ = false;
    if (!read)
        return false;
    // One key line can name many keys never seen before (deep paths), so
    // the index is sized from the keys read, keeping it at most half full.
    if (keys_.size() * 2 + 2 > slots)
    {
        while (slots < keys_.size() * 2 + 2)
            slots *= 2;
        slots_.assign(slots, NoKey);
    }
    if (IndexAll())
        return true;
    keys_.resize(1);
    keys_[top].firstChild = keys_[top].lastChild = NoKey;
    sections_.clear();
    moreSections_.clear();
    Reindex(slots);
    return ReadLines(header.next, error);
}

bool Image::ReadLines(std::size_t begin, ImageError& error)
{
    std::string_view t = text_;
    auto fail = [&error](std::size_t line, const char* what)
    {
        error.line = line;
        error.what = what;
        return false;
    };
    LoadPath path;
    std::size_t line = 2;
    for (std::size_t at = begin; at < t.size(); ++line)
    {
        LineSpan span = LineAt(t, at);
        std::size_t next = span.next;
        std::size_t first = SkipBlanks(t, at, span.contentEnd);
        if (t[at] == '[')
        {
            if (!ReadKeyLine(at, span.contentEnd, line, path, error))
                return false;
        }
        else if (first < span.contentEnd && t[first] != ';')
        {
            if (t[first] != '"' && t[first] != '@')
                return fail(line, "expected a key, a value or a comment");
            if (sections_.empty())
                return fail(line, "value before the first key");
            ValueReader reader(t, at, span, line);
            if (!reader.Read(nullptr))
                return fail(reader.Line(), reader.What());
            line = reader.Line();
            next = reader.Next();
        }
        at = next;
    }
    return true;
}

// A key line runs from '[' to the last ']' of the line, so that a key name
// may hold ']'.
bool Image::ReadKeyLine(std::size_t begin, std::size_t contentEnd, std::size_t line, LoadPath& path,
                        ImageError& error)
{
    std::string_view t = text_;
    auto fail = [&error, line](const char* what)
    {
        error.line = line;
        error.what = what;
        return false;
    };
    std::size_t close = t.substr(0, contentEnd).rfind(']');
    if (close == std::string_view::npos || close < begin)
        return fail("key line without ']'");
    if (SkipBlanks(t, close + 1, contentEnd) != contentEnd)
        return fail("junk after the key line");
    if (close == begin + 1)
        return fail("empty key path");

    // The names this path shares byte for byte with the previous one are
    // the same keys; only the names after them are looked up.
    std::string_view full = t.substr(begin + 1, close - begin - 1);
    std::size_t same = CommonPrefix(full, path.text);
    bool nameEndsThere = same == full.size() || full[same] == '\\';
    std::size_t depth = 0;
    while (depth < path.ends.size() &&
           (path.ends[depth] < same || (path.ends[depth] == same && nameEndsThere)))
        ++depth;
    path.text = full;
    path.ends.resize(depth);
    path.keys.resize(depth);

    std::uint32_t section = static_cast<std::uint32_t>(sections_.size());
    KeyId key = depth > 0 ? path.keys[depth - 1] : top;
    for (std::size_t from = depth > 0 ? path.ends[depth - 1] + 1 : 0; from <= full.size(); ++depth)
    {
        std::size_t stop = full.find('\\', from);
        if (stop == std::string_view::npos)
            stop = full.size();
        std::string_view name = full.substr(from, stop - from);
        if (name.empty())
            return fail("empty key name");
        if (name.size() > MaxKeyName)
            return fail("key name too long");
        auto offset = static_cast<std::uint32_t>(begin + 1 + from);
        key = depth == 0 ? RootOf(name, offset, section) : Named(key, name, offset, false, section);
        if (key == NoKey)
            return fail("unknown root key");
        path.ends.push_back(stop);
        path.keys.push_back(key);
        from = stop + 1;
    }

    sections_.push_back({static_cast<std::uint32_t>(begin), key});
    if (keys_[key].firstSection == NoSection)
        keys_[key].firstSection = section;
    else
        moreSections_[key].push_back(section);
    for (KeyId up = key; up != top; up = keys_[up].parent)
        keys_[up].lastSubtree = section;
    return true;
}

KeyId Image::RootOf(std::string_view name, std::uint32_t nameOffset, std::uint32_t section)
{
    if (SameName(name, "HKEY_CLASSES_ROOT"))
    {
        KeyId machine = Named(top, fixedNames.substr(localMachineName, localMachineLength),
                              localMachineName, true, section);
        KeyId software = Named(machine, fixedNames.substr(softwareName, softwareLength),
                               softwareName, true, section);
        return Named(software, fixedNames.substr(classesName, classesLength), classesName, true,
                     section);
    }
    for (std::string_view root : plainRoots)
        if (SameName(name, root))
            return Named(top, name, nameOffset, false, section);
    return NoKey;
}

KeyId Image::Named(KeyId parent, std::string_view name, std::uint32_t offset, bool pooled,
                   std::uint32_t section)
{
    // A key without subkeys yet needs no lookup (the common case in an
    // image written in tree order).
    std::uint32_t hash = deferIndex_ ? 0 : Hash(parent, name);
    KeyId key =
        !deferIndex_ && keys_[parent].firstChild != NoKey ? Find(parent, name, hash) : NoKey;
    unsigned flags = pooled ? Pooled : 0u;
    return key != NoKey ? key : NewKey(parent, offset, name.size(), flags, section, hash);
}

KeyId Image::NewKey(KeyId parent, std::uint32_t name, std::size_t length, unsigned flags,
                    std::uint32_t section, std::uint32_t hash)
{
    KeyId id = static_cast<KeyId>(keys_.size());
    Key key;
    key.name = name;
    key.nameLength = static_cast<std::uint32_t>(length);
    key.flags = flags;
    key.parent = parent;
    key.firstChild = key.lastChild = key.nextSibling = NoKey;
    key.firstSection = NoSection;
    key.origin = key.lastSubtree = section;
    keys_.push_back(key);
    Key& up = keys_[parent];
    if (up.lastChild == NoKey)
        up.firstChild = id;
    else
        keys_[up.lastChild].nextSibling = id;
    up.lastChild = id;
    if (!deferIndex_)
        Index(id, hash);
    return id;
}

// Fills the index with every key, slot region by slot region so that the
// writes stay in the cache; false when two keys have the same parent and
// name (the index is then incomplete).
bool Image::IndexAll()
{
    std::size_t mask = slots_.size() - 1;
    std::vector<std::uint32_t> hashes(keys_.size());
    for (KeyId key = 1; key < keys_.size(); ++key)
        hashes[key] = Hash(keys_[key].parent, Name(key));
    constexpr unsigned regionBits = 12;
    std::vector<std::uint32_t> starts((mask >> regionBits) + 3);
    for (KeyId key = 1; key < keys_.size(); ++key)
        ++starts[((hashes[key] & mask) >> regionBits) + 2];
    for (std::size_t region = 2; region < starts.size(); ++region)
        starts[region] += starts[region - 1];
    std::vector<KeyId> order(keys_.size() - 1);
    for (KeyId key = 1; key < keys_.size(); ++key)
        order[starts[((hashes[key] & mask) >> regionBits) + 1]++] = key;
    for (KeyId key : order)
    {
        std::size_t at = hashes[key] & mask;
        for (KeyId other; (other = slots_[at]) != NoKey; at = (at + 1) & mask)
            if (hashes[other] == hashes[key] && keys_[other].parent == keys_[key].parent &&
                SameName(Name(other), Name(key)))
                return false;
        slots_[at] = key;
        ++indexed_;
    }
    return true;
}

KeyId Image::OnDemand(KeyId parent, std::uint32_t name, std::size_t length)
{
    KeyId key = NewKey(parent, name, length, Pooled | Created | Quiet, NoSection,
                       Hash(parent, names_.substr(name, length)));
    created_.push_back(key);
    return key;
}

// The index is kept at most half full, so that a lookup probes about two slots.
void Image::Index(KeyId key, std::uint32_t hash)
{
    if ((indexed_ + 1) * 2 > slots_.size())
    {
        Reindex(std::max<std::size_t>(64, slots_.size() * 2));
        return;
    }
    std::size_t mask = slots_.size() - 1;
    std::size_t at = hash & mask;
    while (slots_[at] != NoKey)
        at = (at + 1) & mask;
    slots_[at] = key;
    ++indexed_;
}

void Image::Reindex(std::size_t slots)
{
    slots_.assign(slots, NoKey);
    indexed_ = 0;
    for (KeyId key = 1; key < keys_.size(); ++key)
        if (!(keys_[key].flags & Deleted))
            Index(key, Hash(keys_[key].parent, Name(key)));
}

KeyId Image::Find(KeyId parent, std::string_view name) const
{
    return Find(parent, name, Hash(parent, name));
}

KeyId Image::Find(KeyId parent, std::string_view name, std::uint32_t hash) const
{
    if (slots_.empty())
        return NoKey;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask)
    {
        KeyId key = slots_[at];
        if (key == NoKey)
            return NoKey;
        if (keys_[key].parent == parent && !(keys_[key].flags & Deleted) &&
            SameName(Name(key), name))
            return key;
    }
}

KeyId Image::LocalMachine()
{
    std::string_view name = fixedNames.substr(localMachineName, localMachineLength);
    KeyId key = Find(top, name);
    return key != NoKey ? key : OnDemand(top, localMachineName, localMachineLength);
}

KeyId Image::ClassesRoot()
{
    KeyId key = LocalMachine();
    for (auto [offset, length] :
         {std::pair{softwareName, softwareLength}, std::pair{classesName, classesLength}})
    {
        KeyId below = Find(key, fixedNames.substr(offset, length));
        key = below != NoKey ? below : OnDemand(key, offset, length);
    }
    return key;
}

KeyId Image::Create(KeyId parent, std::string_view name)
{
    KeyId key = Find(parent, name);
    if (key != NoKey)
    {
        if (keys_[key].flags & Quiet)
        {
            keys_[key].flags = keys_[key].flags & ~Quiet;
            changed_ = true;
        }
        return key;
    }
    std::uint32_t offset = static_cast<std::uint32_t>(names_.size());
    names_.append(name);
    key = NewKey(parent, offset, name.size(), Pooled | Created, NoSection, Hash(parent, name));
    created_.push_back(key);
    changed_ = true;
    return key;
}

KeyId Image::Subkey(KeyId key, std::uint32_t index)
{
    KeyId child = keys_[key].firstChild;
    std::uint32_t at = 0;
    if (cursorKey_ == key && index >= cursorIndex_)
    {
        child = cursorChild_;
        at = cursorIndex_;
    }
    for (; child != NoKey && at < index; ++at)
        child = keys_[child].nextSibling;
    if (child != NoKey)
    {
        cursorKey_ = key;
        cursorIndex_ = at;
        cursorChild_ = child;
    }
    return child;
}

KeyId Image::Parent(KeyId key) const
{
    return keys_[key].parent;
}

std::string_view Image::Name(KeyId key) const
{
    const Key& own = keys_[key];
    std::string_view from = own.flags & Pooled ? names_ : text_;
    return from.substr(own.name, own.nameLength);
}

bool Image::Exists(KeyId key) const
{
    return !(keys_[key].flags & Deleted);
}

std::vector<std::uint32_t> Image::SectionsOf(KeyId key) const
{
    std::vector<std::uint32_t> sections;
    if (keys_[key].firstSection != NoSection)
        sections.push_back(keys_[key].firstSection);
    auto more = moreSections_.find(key);
    if (more != moreSections_.end())
        sections.insert(sections.end(), more->second.begin(), more->second.end());
    return sections;
}

std::vector<Value>& Image::Values(KeyId key)
{
    auto found = values_.find(key);
    if (found != values_.end())
        return found->second;
    std::vector<Value>& values = values_[key];
    for (std::uint32_t section : SectionsOf(key))
        ReadSection(section, values);
    return values;
}

void Image::ReadSection(std::uint32_t section, std::vector<Value>& values) const
{
    std::string_view t = text_;
    std::size_t end = SectionEnd(section);
    for (std::size_t at = BodyBegin(section); at < end;)
    {
        LineSpan span = LineAt(t, at);
        std::size_t next = span.next;
        std::size_t first = SkipBlanks(t, at, span.contentEnd);
        if (first < span.contentEnd && t[first] != ';')
        {
            ValueReader reader(t, at, span, 0);
            Value value;
            if (reader.Read(&value))
            {
                value.section = section;
                value.rawBegin = static_cast<std::uint32_t>(at);
                value.rawEnd = static_cast<std::uint32_t>(reader.Next());
                values.push_back(std::move(value));
            }
            next = reader.Next();
        }
        at = next;
    }
}

const Value* Image::FindValue(KeyId key, std::string_view name)
{
    std::vector<Value>& values = Values(key);
    for (auto value = values.rbegin(); value != values.rend(); ++value)
        if (SameName(value->name, name))
            return &*value;
    return nullptr;
}

void Image::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data)
{
    std::vector<Value>& values = Values(key);
    auto found = std::find_if(values.rbegin(), values.rend(),
                              [name](const Value& value) { return SameName(value.name, name); });
    if (found != values.rend())
    {
        if (found->type == type && found->data == data)
            return;
        found->type = type;
        found->data.assign(data);
        found->changed = true;
    }
    else
    {
        Value added;
        added.name.assign(name);
        added.type = type;
        added.data.assign(data);
        values.push_back(std::move(added));
    }
    if (!(keys_[key].flags & Dirty))
    {
        keys_[key].flags = keys_[key].flags | Dirty;
        dirty_.push_back(key);
    }
    changed_ = true;
}

void Image::Delete(KeyId key)
{
    Key& up = keys_[keys_[key].parent];
    KeyId before = NoKey;
    for (KeyId at = up.firstChild; at != key; at = keys_[at].nextSibling)
        before = at;
    (before == NoKey ? up.firstChild : keys_[before].nextSibling) = keys_[key].nextSibling;
    if (up.lastChild == key)
        up.lastChild = before;
    std::vector<KeyId> pending{key};
    while (!pending.empty())
    {
        KeyId at = pending.back();
        pending.pop_back();
        keys_[at].flags = keys_[at].flags | Deleted;
        for (KeyId child = keys_[at].firstChild; child != NoKey; child = keys_[child].nextSibling)
            pending.push_back(child);
    }
    deleted_.push_back(key);
    cursorKey_ = NoKey;
    changed_ = true;
}

bool Image::Changed() const
{
    return changed_;
}

std::size_t Image::SectionEnd(std::uint32_t section) const
{
    return section + 1 < sections_.size() ? sections_[section + 1].begin : text_.size();
}

std::size_t Image::BodyBegin(std::uint32_t section) const
{
    return LineAt(text_, sections_[section].begin).next;
}

std::uint32_t Image::LastSection(KeyId key) const
{
    auto more = moreSections_.find(key);
    return more != moreSections_.end() ? more->second.back() : keys_[key].firstSection;
}

std::string Image::Path(KeyId key) const
{
    std::vector<std::string_view> names;
    for (; key != top; key = keys_[key].parent)
        names.push_back(Name(key));
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
    {
        if (!path.empty())
            path += '\\';
        path += *name;
    }
    return path;
}

std::size_t Image::Depth(KeyId key) const
{
    std::size_t depth = 0;
    for (; key != top; key = keys_[key].parent)
        ++depth;
    return depth;
}

// Only the sections that changed, were removed, or have new keys or
// values beside them are looked at; the text between them is copied in
// one piece.
bool Image::Write(const std::function<bool(const char*, std::size_t)>& write) const
{
    struct Placed
    {
        std::uint32_t section; // written before (preludes) or after (new subtrees) this section
        std::size_t depth;
        std::size_t order;
        KeyId key;
    };
    // A new key under a key of the image goes after the last section of
    // its parent's subtree: the image stays in tree order, and read again
    // it enumerates the new key after its old siblings.
    std::vector<Placed> subtrees;
    for (std::size_t i = 0; i < created_.size(); ++i)
    {
        const Key& own = keys_[created_[i]];
        if ((own.flags & Deleted) || (own.parent != top && (keys_[own.parent].flags & Created)))
            continue;
        std::uint32_t after = own.parent == top ? NoSection : keys_[own.parent].lastSubtree;
        subtrees.push_back({after, Depth(own.parent), i, created_[i]});
    }
    std::sort(subtrees.begin(), subtrees.end(),
              [](const Placed& a, const Placed& b)
              {
                  if (a.section != b.section)
                      return a.section < b.section;
                  return a.depth != b.depth ? a.depth > b.depth : a.order < b.order;
              });
    // A key that stood in the image only as part of longer key lines gets
    // its own section, with its new values, where it first appeared.
    std::vector<Placed> preludes;
    for (KeyId key : dirty_)
    {
        const Key& own = keys_[key];
        if (!(own.flags & (Deleted | Created)) && own.firstSection == NoSection)
            preludes.push_back({own.origin, Depth(key), 0, key});
    }
    std::sort(preludes.begin(), preludes.end(),
              [](const Placed& a, const Placed& b)
              { return a.section != b.section ? a.section < b.section : a.depth < b.depth; });

    std::vector<std::uint32_t> touched;
    for (const Placed& placed : subtrees)
        if (placed.section != NoSection)
            touched.push_back(placed.section);
    for (const Placed& placed : preludes)
        touched.push_back(placed.section);
    for (KeyId key : dirty_)
        if (!(keys_[key].flags & Deleted))
            for (std::uint32_t section : SectionsOf(key))
                touched.push_back(section);
    std::vector<KeyId> pending(deleted_);
    while (!pending.empty())
    {
        KeyId key = pending.back();
        pending.pop_back();
        for (std::uint32_t section : SectionsOf(key))
            touched.push_back(section);
        for (KeyId child = keys_[key].firstChild; child != NoKey; child = keys_[child].nextSibling)
            pending.push_back(child);
    }
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());

    Output out(text_, write);
    std::size_t copied = 0;
    auto nextSubtree = subtrees.begin();
    auto nextPrelude = preludes.begin();
    for (std::uint32_t section : touched)
    {
        out.Copy(copied, sections_[section].begin);
        KeyId introduced = NoKey;
        for (; nextPrelude != preludes.end() && nextPrelude->section == section; ++nextPrelude)
        {
            WriteNewKey(out, nextPrelude->key, true);
            introduced = nextPrelude->key;
        }
        KeyId key = sections_[section].key;
        if (keys_[key].flags & Deleted)
        {
            // A key still there that first appeared in this line keeps its place.
            KeyId live = key;
            while (keys_[live].flags & Deleted)
                live = keys_[live].parent;
            if (live != top && keys_[live].origin == section && live != introduced)
                WriteNewKey(out, live, false);
        }
        else if (keys_[key].flags & Dirty)
            WriteSection(out, section);
        else
            out.Copy(sections_[section].begin, SectionEnd(section));
        for (; nextSubtree != subtrees.end() && nextSubtree->section == section; ++nextSubtree)
            WriteNewSubtree(out, nextSubtree->key);
        copied = SectionEnd(section);
    }
    out.Copy(copied, text_.size());
    for (; nextSubtree != subtrees.end(); ++nextSubtree)
        WriteNewSubtree(out, nextSubtree->key);
    return out.Finish();
}

// The key line and the untouched value lines stay as they are; changed
// values are written in their place, new ones after the last value of the
// key's last section.
void Image::WriteSection(Output& out, std::uint32_t section) const
{
    KeyId key = sections_[section].key;
    const std::vector<Value>& values = values_.at(key);
    std::size_t at = sections_[section].begin;
    std::size_t insertAt = BodyBegin(section);
    for (const Value& value : values)
    {
        if (value.section != section)
            continue;
        insertAt = value.rawEnd;
        if (!value.changed)
            continue;
        out.Copy(at, value.rawBegin);
        out.Line(CanonicalLine(value));
        at = value.rawEnd;
    }
    if (section == LastSection(key))
    {
        out.Copy(at, insertAt);
        at = insertAt;
        for (const Value& value : values)
            if (value.section == NoSection)
                out.Line(CanonicalLine(value));
    }
    out.Copy(at, SectionEnd(section));
}

void Image::WriteNewKey(Output& out, KeyId key, bool withValues) const
{
    out.Line("[" + Path(key) + "]");
    auto values = values_.find(key);
    if (withValues && values != values_.end())
        for (const Value& value : values->second)
            out.Line(CanonicalLine(value));
    out.Line("");
}

void Image::WriteNewSubtree(Output& out, KeyId key) const
{
    auto values = values_.find(key);
    bool holdsValues = values != values_.end() && !values->second.empty();
    if (!(keys_[key].flags & Quiet) || holdsValues)
        WriteNewKey(out, key, true);
    for (KeyId child = keys_[key].firstChild; child != NoKey; child = keys_[child].nextSibling)
        WriteNewSubtree(out, child);
}

void ImageDeleter::operator()(Image* image) const
{
    delete image;
}

ImageText::ImageText(std::string text) : owned_(std::move(text)) {}

bool ImageText::Map(int fd, std::size_t size)
{
    void* mapping = sys::Map(fd, size);
    if (mapping == nullptr)
        return false;
    Unmap();
    owned_.clear();
    mapped_ = static_cast<const char*>(mapping);
    mappedSize_ = size;
    return true;
}

ImageText::ImageText(ImageText&& other) noexcept
    : owned_(std::move(other.owned_)), mapped_(other.mapped_), mappedSize_(other.mappedSize_)
{
    other.mapped_ = nullptr;
    other.mappedSize_ = 0;
}

ImageText& ImageText::operator=(ImageText&& other) noexcept
{
    if (this != &other)
    {
        Unmap();
        owned_ = std::move(other.owned_);
        mapped_ = other.mapped_;
        mappedSize_ = other.mappedSize_;
        other.mapped_ = nullptr;
        other.mappedSize_ = 0;
    }
    return *this;
}

ImageText::~ImageText()
{
    Unmap();
}

std::string_view ImageText::View() const
{
    return mapped_ != nullptr ? std::string_view(mapped_, mappedSize_) : std::string_view(owned_);
}

void ImageText::Unmap()
{
    if (mapped_ != nullptr)
        sys::Unmap(const_cast<char*>(mapped_), mappedSize_);
    mapped_ = nullptr;
    mappedSize_ = 0;
}

ImagePtr ReadImage(ImageText text, ImageError& error)
{
    ImagePtr image(new Image);
    if (!image->Load(std::move(text), error))
        return nullptr;
    return image;
}

bool ImageChanged(const Image& image)
{
    return image.Changed();
}

bool WriteImage(const Image& image, const std::function<bool(const char*, std::size_t)>& write)
{
    return image.Write(write);
}

} // namespace win95
