// Reading the image: every line is checked, so that a malformed image is
// never rewritten, and each key line is recorded for the key tree.
#include "platform/posix/os/sys.h"
#include "platform/posix/storage/regedit4/tree.h"
#include "platform/posix/storage/regedit4/values.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

namespace win95
{
namespace
{

// Images from this size on are read in pieces of about pieceSize bytes by
// two threads at once.
constexpr std::size_t splitSize = 4 << 20;
constexpr std::size_t pieceSize = 2 << 20;

// How far ahead of the lines being checked a NUL byte is looked for.
constexpr std::size_t nulSearchAhead = 256 << 10;

// The root keys a key line may name besides HKEY_CLASSES_ROOT. Only
// HKEY_LOCAL_MACHINE is reachable by the programs; the others are kept as
// they are.
constexpr std::string_view plainRoots[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS",
                                           "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

// The length of the beginning two texts share, compared sixteen bytes at
// a time where the processor can, else eight.
std::size_t CommonPrefix(std::string_view a, std::string_view b)
{
    std::size_t common = std::min(a.size(), b.size());
    std::size_t same = 0;
#if defined(__SSE2__)
    for (; same + 16 <= common; same += 16)
    {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a.data() + same));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b.data() + same));
        if (int equal = _mm_movemask_epi8(_mm_cmpeq_epi8(x, y)); equal != 0xFFFF)
            return same + static_cast<std::size_t>(__builtin_ctz(~static_cast<unsigned>(equal)));
    }
#endif
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

bool Fail(Image::LineFault& error, std::size_t line, const char* what)
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

// A stretch of a large image, from a key line on, read on its own. Two
// threads take the pieces in turn, so that one slowed down by other work
// on the host leaves more of them to the other.
struct Image::Piece
{
    std::size_t begin;
    std::size_t end;
    KeyLines lines;
    LineFault error;
    const char* nul = nullptr;
    bool read = true;
};

void Image::ReadPiece(Piece& piece, std::size_t reserve) const
{
    sys::CheckMemory();
    piece.lines.sections.reserve(reserve);
    piece.lines.shared.reserve(reserve);
    piece.read = ReadLines(piece.begin, piece.end, 1, piece.lines, piece.error, piece.nul);
}

// The number of the line that holds the byte at `at`.
std::size_t Image::LineOf(const char* at) const
{
    return 1 + static_cast<std::size_t>(std::count(text_.data(), at, '\n'));
}

bool Image::Load(ImageText text, Fault& fault)
{
    LineFault error;
    if (LoadLines(std::move(text), error))
        return true;
    fault = {std::to_string(error.line), error.what};
    return false;
}

bool Image::LoadLines(ImageText text, LineFault& error)
{
    source_ = std::move(text);
    text_ = source_.View();
    std::size_t body = 0;
    if (!ReadHeader(body, error))
        return false;
    std::vector<Piece> pieces = Pieces(body);
    ReadPieces(pieces);
    if (!PiecesRead(pieces, error))
        return false;
    KeyLines& all = pieces.front().lines;
    for (std::size_t k = 1; k < pieces.size(); ++k)
    {
        KeyLines& lines = pieces[k].lines;
        all.sections.insert(all.sections.end(), lines.sections.begin(), lines.sections.end());
        all.shared.insert(all.shared.end(), lines.shared.begin(), lines.shared.end());
        lines = KeyLines();
    }
    sections_ = std::move(all.sections);
    shared_ = std::move(all.shared);
    keys_[top].run = {0, static_cast<std::uint32_t>(sections_.size())};
    return true;
}

// The first line, "REGEDIT4"; `body` gets where the next one starts.
bool Image::ReadHeader(std::size_t& body, LineFault& error) const
{
    std::string_view t = text_;
    if (t.size() >= NoSection)
        return Fail(error, 1, "image too large");
    LineSpan header = LineAt(t, 0);
    std::size_t headerEnd = header.contentEnd;
    while (headerEnd > 0 && IsBlank(t[headerEnd - 1]))
        --headerEnd;
    bool isImage = t.substr(0, headerEnd) == "REGEDIT4";
    if (const char* nul = NulIn(0, isImage ? header.next : t.size()))
        return Fail(error, LineOf(nul), "NUL byte");
    if (!isImage)
        return Fail(error, 1, "not a REGEDIT4 image");
    body = header.next;
    return true;
}

// The stretches of the text from `body` on that are read at once. Each
// piece after the first begins at a key line, which is recorded as sharing
// no names with the line before: that only makes one more place to look
// for subkeys.
std::vector<Image::Piece> Image::Pieces(std::size_t body) const
{
    std::string_view t = text_;
    std::vector<Piece> pieces;
    for (std::size_t from = body; from < t.size() || pieces.empty();)
    {
        std::size_t to = t.size();
        if (t.size() >= splitSize && t.size() - from > pieceSize)
            to = std::min(t.find("\n[", from + pieceSize), t.size() - 1) + 1;
        pieces.push_back({from, to, {}, {}, nullptr, true});
        from = to;
    }
    return pieces;
}

// Reads the pieces on this thread and, when there are several, on a second
// one. The first piece's records take all the others' at the end: a key
// line takes at least 12 bytes, so this never moves them, and the pages
// reserved beyond those used are never touched.
void Image::ReadPieces(std::vector<Piece>& pieces) const
{
    std::string_view t = text_;
    std::atomic<std::size_t> next{0};
    auto readPieces = [&]
    {
        for (std::size_t k; (k = next++) < pieces.size();)
            ReadPiece(pieces[k], (k == 0 ? t.size() : pieces[k].end - pieces[k].begin) / 12 + 1);
    };
    // Running out of memory on either thread ends the reading of both and
    // is thrown on, once the second thread has ended.
    auto readUntilFailure = [&](std::exception_ptr& failure)
    {
        try
        {
            readPieces();
        }
        catch (...)
        {
            failure = std::current_exception();
            next = pieces.size();
        }
    };
    std::exception_ptr theirs;
    std::thread reader;
    if (pieces.size() > 1)
    {
        try
        {
            reader = std::thread(readUntilFailure, std::ref(theirs));
        }
        catch (const std::system_error&)
        {
        }
    }
    std::exception_ptr ours;
    readUntilFailure(ours);
    if (reader.joinable())
        reader.join();
    for (const std::exception_ptr& failure : {ours, theirs})
        if (failure)
            std::rethrow_exception(failure);
}

// False, with the fault, when a piece was not read: a NUL byte anywhere is
// the fault reported first; then the first fault in the text, its line
// counted from the start of the text.
bool Image::PiecesRead(const std::vector<Piece>& pieces, LineFault& error) const
{
    for (const Piece& piece : pieces)
        if (piece.nul != nullptr)
            return Fail(error, LineOf(piece.nul), "NUL byte");
    for (const Piece& piece : pieces)
        if (!piece.read)
        {
            error = piece.error;
            error.line += LineOf(text_.data() + piece.begin) - 1;
            return false;
        }
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
                      LineFault& error, const char*& nul) const
{
    std::size_t searched = begin;
    bool read = CheckLines(begin, end, line, lines, error, searched, nul);
    if (nul == nullptr && searched < end)
        nul = NulIn(searched, end);
    return read && nul == nullptr;
}

bool Image::CheckLines(std::size_t begin, std::size_t end, std::size_t line, KeyLines& lines,
                       LineFault& error, std::size_t& searched, const char*& nul) const
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
        if (t[at] == '[')
        {
            // The bytes a key line shares with the path before hold no line
            // end, so its end is looked for only after them.
            std::size_t same = CommonPrefix(t.substr(at + 1, path.text.size()), path.text);
            std::size_t end = static_cast<std::size_t>(
                FirstOf(t.data() + at + 1 + same, t.data() + t.size(), '\n', '\n', '\n') -
                t.data());
            if (!ReadKeyLine(at, t[end - 1] == '\r' ? end - 1 : end, same, line, path, lines,
                             error))
                return false;
            at = end < t.size() ? end + 1 : end;
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
        if (first < span.contentEnd && t[first] != ';')
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
// are checked again; `same` is how many bytes after its '[' are those of
// the path before.
bool Image::ReadKeyLine(std::size_t begin, std::size_t contentEnd, std::size_t same,
                        std::size_t line, LoadPath& path, KeyLines& lines, LineFault& error) const
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
    same = std::min(same, full.size());
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

ImagePtr ReadImage(ImageText text, Fault& fault)
{
    ImagePtr image(new Image);
    if (!image->Load(std::move(text), fault))
        return nullptr;
    return image;
}

} // namespace win95
