// Writing the image back: the text between the sections a run touched is
// copied in one piece; only touched sections are looked at.
#include "platform/posix/storage/regedit4/tree.h"
#include "platform/posix/storage/regedit4/values.h"

#include <algorithm>

namespace win95
{

// Gathers the output: spans of the text that follow each other go out as
// one piece, and written lines are collected before they go out.
class Image::Output
{
  public:
    Output(std::string_view text, const WriteSink& write) : text_(text), write_(write) {}

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
    const WriteSink& write_;
    std::size_t spanBegin_ = 0;
    std::size_t spanEnd_ = 0;
    std::string lines_;
    char last_ = '\n';
    bool good_ = true;
};

struct Image::Placed
{
    std::uint32_t section; // written before (preludes) or after (new subtrees) this section
    std::size_t depth;
    std::size_t order;
    KeyId key;
};

// What a run changed, by the sections of the text where it is written.
struct Image::Changes
{
    std::vector<Placed> subtrees;                           // new keys, after a section
    std::vector<Placed> preludes;                           // keys given a section of their own
    std::vector<std::pair<std::uint32_t, KeyId>> rewritten; // own sections of changed keys
    std::vector<std::pair<std::uint32_t, KeyId>> removed;   // sections of deleted keys
    std::vector<std::uint32_t> touched;                     // all of these sections, once each
};

// A new key under a key of the image goes after the last section of its
// parent's subtree: the image stays in tree order, and read again it
// enumerates the new key after its old siblings.
void Image::PlaceNewKeys(Changes& changes) const
{
    std::vector<Placed>& subtrees = changes.subtrees;
    for (std::size_t i = 0; i < created_.size(); ++i)
    {
        const Key& own = keys_[created_[i]];
        if ((own.flags & Deleted) || (own.parent != top && (keys_[own.parent].flags & Created)))
            continue;
        std::uint32_t after = own.parent == top ? NoSection : LastSubtreeSection(own.parent);
        subtrees.push_back({after, keys_[own.parent].depth, i, created_[i]});
    }
    std::sort(subtrees.begin(), subtrees.end(),
              [](const Placed& a, const Placed& b)
              {
                  if (a.section != b.section)
                      return a.section < b.section;
                  return a.depth != b.depth ? a.depth > b.depth : a.order < b.order;
              });
}

// A key that stood in the image only as part of longer key lines gets its
// own section, with its new values, where it first appeared.
void Image::PlaceChangedValues(Changes& changes) const
{
    for (KeyId key : dirty_)
    {
        const Key& own = keys_[key];
        if (own.flags & (Deleted | Created))
            continue;
        const std::vector<std::uint32_t>& sections = ParsedValues(key)->sections;
        if (sections.empty())
            changes.preludes.push_back({own.run.begin, own.depth, 0, key});
        for (std::uint32_t section : sections)
            changes.rewritten.emplace_back(section, key);
    }
    std::sort(changes.preludes.begin(), changes.preludes.end(),
              [](const Placed& a, const Placed& b)
              { return a.section != b.section ? a.section < b.section : a.depth < b.depth; });
    std::sort(changes.rewritten.begin(), changes.rewritten.end());
}

// Every section of a deleted key goes, with the key above it still there.
void Image::PlaceDeletions(Changes& changes) const
{
    for (KeyId key : deleted_)
    {
        KeyId parent = keys_[key].parent;
        if (keys_[parent].flags & Deleted)
            continue;
        ForEachRun(key,
                   [&](Run run)
                   {
                       for (std::uint32_t section = run.begin; section < run.end; ++section)
                           changes.removed.emplace_back(section, parent);
                   });
    }
    std::sort(changes.removed.begin(), changes.removed.end());
}

void Image::ListTouched(Changes& changes)
{
    std::vector<std::uint32_t>& touched = changes.touched;
    for (const Placed& placed : changes.subtrees)
        if (placed.section != NoSection)
            touched.push_back(placed.section);
    for (const Placed& placed : changes.preludes)
        touched.push_back(placed.section);
    for (const auto& [section, key] : changes.rewritten)
        touched.push_back(section);
    for (const auto& [section, key] : changes.removed)
        touched.push_back(section);
    std::sort(touched.begin(), touched.end());
    touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
}

bool Image::Write(const WriteSink& write) const
{
    Changes changes;
    PlaceNewKeys(changes);
    PlaceChangedValues(changes);
    PlaceDeletions(changes);
    ListTouched(changes);

    Output out(text_, write);
    std::size_t copied = 0;
    auto nextSubtree = changes.subtrees.begin();
    auto nextPrelude = changes.preludes.begin();
    auto nextRewritten = changes.rewritten.begin();
    auto nextRemoved = changes.removed.begin();
    for (std::uint32_t section : changes.touched)
    {
        out.Copy(copied, sections_[section].begin);
        KeyId introduced = NoKey;
        for (; nextPrelude != changes.preludes.end() && nextPrelude->section == section;
             ++nextPrelude)
        {
            WriteNewKey(out, nextPrelude->key, true);
            introduced = nextPrelude->key;
        }
        while (nextRewritten != changes.rewritten.end() && nextRewritten->first < section)
            ++nextRewritten;
        while (nextRemoved != changes.removed.end() && nextRemoved->first < section)
            ++nextRemoved;
        if (nextRemoved != changes.removed.end() && nextRemoved->first == section)
        {
            // A key still there that first appeared in this line keeps its place.
            KeyId live = nextRemoved->second;
            if (live != top && keys_[live].run.begin == section && live != introduced)
                WriteNewKey(out, live, false);
        }
        else if (nextRewritten != changes.rewritten.end() && nextRewritten->first == section)
            WriteSection(out, nextRewritten->second, section);
        else
            out.Copy(sections_[section].begin, SectionEnd(section));
        for (; nextSubtree != changes.subtrees.end() && nextSubtree->section == section;
             ++nextSubtree)
            WriteNewSubtree(out, nextSubtree->key);
        copied = SectionEnd(section);
    }
    out.Copy(copied, text_.size());
    for (; nextSubtree != changes.subtrees.end(); ++nextSubtree)
        WriteNewSubtree(out, nextSubtree->key);
    return out.Finish();
}

// The key line and the untouched value lines stay as they are; changed
// values are written in their place, new ones after the last value of the
// key's last section. The values stand in the order of their sections.
void Image::WriteSection(Output& out, KeyId key, std::uint32_t section) const
{
    const KeyValues& own = *ParsedValues(key);
    auto first =
        std::partition_point(own.values.begin(), own.values.end(),
                             [section](const ValueLine& value) { return value.section < section; });
    auto last = std::partition_point(first, own.values.end(),
                                     [section](const ValueLine& value)
                                     { return value.section == section; });
    std::size_t at = sections_[section].begin;
    std::size_t insertAt = BodyBegin(section);
    for (auto value = first; value != last; ++value)
    {
        insertAt = value->rawEnd;
        if (!value->changed)
            continue;
        out.Copy(at, value->rawBegin);
        out.Line(CanonicalLine(*value));
        at = value->rawEnd;
    }
    if (section == own.sections.back())
    {
        out.Copy(at, insertAt);
        at = insertAt;
        for (auto value = last; value != own.values.end(); ++value)
            out.Line(CanonicalLine(*value));
    }
    out.Copy(at, SectionEnd(section));
}

void Image::WriteNewKey(Output& out, KeyId key, bool withValues) const
{
    out.Line("[" + Path(key) + "]");
    const KeyValues* values = ParsedValues(key);
    if (withValues && values != nullptr)
        for (const ValueLine& value : values->values)
            out.Line(CanonicalLine(value));
    out.Line("");
}

void Image::WriteNewSubtree(Output& out, KeyId key) const
{
    const KeyValues* values = ParsedValues(key);
    bool holdsValues = values != nullptr && !values->values.empty();
    if (!(keys_[key].flags & Quiet) || holdsValues)
        WriteNewKey(out, key, true);
    for (KeyId child = keys_[key].firstChild; child != NoKey; child = keys_[child].next)
        WriteNewSubtree(out, child);
}

} // namespace win95
