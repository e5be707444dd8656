// Reading the image: every line is checked, so that a malformed image is
// never rewritten, and each key line is recorded for the key tree.
#include "platform/posix/image_tree.h"
#include "platform/posix/image_values.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace win95
{
namespace
{

// Images from this size on are read in two halves at once.
constexpr std::size_t splitSize = 4 << 20;

// How far ahead of the lines being checked a NUL byte is looked for.
constexpr std::size_t nulSearchAhead = 256 << 10;

// The root keys a key line may name besides HKEY_CLASSES_ROOT. Only
// HKEY_LOCAL_MACHINE is reachable by the programs; the others are kept as
// they are.
constexpr std::string_view plainRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS",
                                           "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

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

bool Fail(ImageError& error, std::size_t line, const char* what)
{
    error.line = line;
    error.what = what;
    return false;
}

} // namespace

// The key path of the previous key line: the names the next one shares
// with it byte for byte need no checking again.
struct Image::LoadPath
{
    std::string_view text;         // the path, between the brackets
    std::vector<std::size_t> ends; // where each of its names ends in the text
    bool classes = false;          // it begins with HKEY_CLASSES_ROOT
};

bool Image::Load(ImageText text, ImageError& error)
{
    source_ = std::move(text);
    text_ = source_.View();
    std::string_view t = text_;
    if (t.size() >= NoSection)
        return Fail(error, 1, "image too large");
    LineSpan header = LineAt(t, 0);
    std::size_t headerEnd = header.contentEnd;
    while (headerEnd > 0 && IsBlank(t[headerEnd - 1]))
        --headerEnd;
    bool isImage = t.substr(0, headerEnd) == "REGEDIT4";
    // A key line takes at least 12 bytes, so this never moves the records;
    // the pages reserved beyond those used are never touched.
    KeyLines first;
    first.sections.reserve(t.size() / 12 + 1);
    first.shared.reserve(t.size() / 12 + 1);
    // A large image is read in two halves at once, the second from a key
    // line on. Its first key line is recorded as sharing no names with the
    // line before, which only makes one more place to look for subkeys.
    std::size_t split = t.size();
    if (isImage && t.size() >= splitSize)
        split =
            std::min(t.find("\n[", header.next + (t.size() - header.next) / 2), t.size() - 1) + 1;
    KeyLines second;
    ImageError secondError;
    const char* secondNul = nullptr;
    bool secondRead = true;
    auto readSecond = [&]
    {
        second.sections.reserve((t.size() - split) / 12 + 1);
        second.shared.reserve((t.size() - split) / 12 + 1);
        secondRead = ReadLines(split, t.size(), 1, second, secondError, secondNul);
    };
    // Without a second thread the second half is read after the first.
    std::thread reader;
    bool readLater = false;
    if (split < t.size())
    {
        try
        {
            reader = std::thread(readSecond);
        }
        catch (const std::system_error&)
        {
            readLater = true;
        }
    }
    const char* nul = NulIn(0, isImage ? header.next : t.size());
    bool firstRead =
        nul == nullptr && isImage && ReadLines(header.next, split, 2, first, error, nul);
    if (reader.joinable())
        reader.join();
    if (readLater)
        readSecond();
    if (nul == nullptr)
        nul = secondNul;
    if (nul != nullptr)
        return Fail(error, 1 + static_cast<std::size_t>(std::count(t.data(), nul, '\n')),
                    "NUL byte");
    if (!isImage)
        return Fail(error, 1, "not a REGEDIT4 image");
    if (!firstRead)
        return false;
    if (!secondRead)
    {
        error = secondError;
        error.line += static_cast<std::size_t>(std::count(t.data(), t.data() + split, '\n'));
        return false;
    }
    first.sections.insert(first.sections.end(), second.sections.begin(), second.sections.end());
    first.shared.insert(first.shared.end(), second.shared.begin(), second.shared.end());
    sections_ = std::move(first.sections);
    shared_ = std::move(first.shared);
    keys_[top].run = {0, static_cast<std::uint32_t>(sections_.size())};
    return true;
}

// Checks the lines from `begin` (the start of line number `line`) to `end`
// and records their key lines.
const char* Image::NulIn(std::size_t begin, std::size_t end) const
{
    return static_cast<const char*>(std::memchr(text_.data() + begin, '\0', end - begin));
}

// A NUL byte is the fault reported before any other, so every byte of the
// lines is searched for one, even after another fault. It is searched for
// a stretch ahead of the lines being checked, which then come from the cache.
bool Image::ReadLines(std::size_t begin, std::size_t end, std::size_t line, KeyLines& lines,
                      ImageError& error, const char*& nul) const
{
    std::size_t searched = begin;
    bool read = CheckLines(begin, end, line, lines, error, searched, nul);
    if (nul == nullptr && searched < end)
        nul = NulIn(searched, end);
    return read && nul == nullptr;
}

bool Image::CheckLines(std::size_t begin, std::size_t end, std::size_t line, KeyLines& lines,
                       ImageError& error, std::size_t& searched, const char*& nul) const
{
    std::string_view t = text_;
    LoadPath path;
    for (std::size_t at = begin; at < end; ++line)
    {
        if (at >= searched)
        {
            std::size_t ahead = std::min(end, at + nulSearchAhead);
            nul = NulIn(searched, ahead);
            searched = ahead;
            if (nul != nullptr)
                return false;
        }
        if (t[at] == '\n' || (t[at] == '\r' && at + 1 < t.size() && t[at + 1] == '\n'))
        {
            at += t[at] == '\n' ? 1 : 2;
            continue;
        }
        if (!lines.sections.empty())
            if (std::size_t next = PlainTextEntry(t, at))
            {
                at = next;
                continue;
            }
        LineSpan span = LineAt(t, at);
        std::size_t next = span.next;
        std::size_t first = SkipBlanks(t, at, span.contentEnd);
        if (t[at] == '[')
        {
            if (!ReadKeyLine(at, span.contentEnd, line, path, lines, error))
                return false;
        }
        else if (first < span.contentEnd && t[first] != ';')
        {
            if (t[first] != '"' && t[first] != '@')
                return Fail(error, line, "expected a key, a value or a comment");
            if (lines.sections.empty())
                return Fail(error, line, "value before the first key");
            ValueReader reader(t, at, span, line);
            if (!reader.Read(nullptr))
                return Fail(error, reader.Line(), reader.What());
            line = reader.Line();
            next = reader.Next();
        }
        at = next;
    }
    return true;
}

// A key line runs from '[' to the last ']' of the line, so that a key name
// may hold ']'. Only the names after those it shares with the line before
// are checked again.
bool Image::ReadKeyLine(std::size_t begin, std::size_t contentEnd, std::size_t line, LoadPath& path,
                        KeyLines& lines, ImageError& error) const
{
    std::string_view t = text_;
    std::size_t close = t.substr(0, contentEnd).rfind(']');
    if (close == std::string_view::npos || close < begin)
        return Fail(error, line, "key line without ']'");
    if (SkipBlanks(t, close + 1, contentEnd) != contentEnd)
        return Fail(error, line, "junk after the key line");
    if (close == begin + 1)
        return Fail(error, line, "empty key path");

    std::string_view full = t.substr(begin + 1, close - begin - 1);
    std::size_t same = CommonPrefix(full, path.text);
    bool nameEndsThere = same == full.size() || full[same] == '\\';
    std::size_t shared = 0;
    while (shared < path.ends.size() &&
           (path.ends[shared] < same || (path.ends[shared] == same && nameEndsThere)))
        ++shared;
    path.text = full;
    path.ends.resize(shared);

    std::uint32_t hash = 0;
    for (std::size_t from = shared > 0 ? path.ends[shared - 1] + 1 : 0; from <= full.size();)
    {
        std::size_t stop = static_cast<std::size_t>(
            FirstOf(full.data() + from, full.data() + full.size(), '\\', '\\', '\\') - full.data());
        std::string_view name = full.substr(from, stop - from);
        if (name.empty())
            return Fail(error, line, "empty key name");
        if (name.size() > MaxKeyName)
            return Fail(error, line, "key name too long");
        if (path.ends.empty())
        {
            path.classes = SameName(name, classesRootName);
            if (!path.classes &&
                std::none_of(std::begin(plainRoots), std::end(plainRoots),
                             [name](std::string_view root) { return SameName(name, root); }))
                return Fail(error, line, "unknown root key");
        }
        if (path.ends.size() == shared)
            hash = NameHash(path.ends.empty() && path.classes ? localMachineName : name);
        path.ends.push_back(stop);
        from = stop + 1;
    }

    // A HKEY_CLASSES_ROOT line stands for the three names of its root.
    std::uint32_t extra = path.classes ? 2 : 0;
    Section section;
    section.begin = static_cast<std::uint32_t>(begin);
    section.depth = static_cast<std::uint32_t>(path.ends.size()) + extra;
    if (path.classes)
        section.depth |= ClassesLine;
    section.hash = hash;
    lines.sections.push_back(section);
    lines.shared.push_back(shared > 0 ? static_cast<std::uint32_t>(shared) + extra : 0);
    return true;
}

void ImageDeleter::operator()(Image* image) const
{
    delete image;
}

ImagePtr ReadImage(ImageText text, ImageError& error)
{
    ImagePtr image(new Image);
    if (!image->Load(std::move(text), error))
        return nullptr;
    return image;
}

} // namespace win95
