// The registry image as a tree of keys laid over the text it was read from.
//
// The text stays one buffer. Each section (a key line and the lines up to
// the next key line) is a span of it, key names point into it, and a key's
// values are parsed only when they are first used. Writing copies every
// section the run left alone straight from the buffer; a section whose
// values changed keeps its key line, its comments and its untouched value
// lines, and gets the changed values in canonical form.
//
// An image with HKEY_CLASSES_ROOT sections keeps them as they are: their
// keys are the keys under HKEY_LOCAL_MACHINE\SOFTWARE\Classes, and new keys
// are always written under that path. A key named by several sections has
// the values of all of them (a later line of the same name wins); each of
// its sections stays where it stands, and new values go to its last one.
#pragma once

#include "platform/posix/base.h"
#include "platform/posix/image.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace win95
{

using KeyId = std::uint32_t;
constexpr KeyId NoKey = 0xFFFFFFFFu;
constexpr std::uint32_t NoSection = 0xFFFFFFFFu;
constexpr std::size_t MaxKeyName = 0xFFFFFF; // the longest key name a key can hold

struct Value
{
    std::string name; // empty for the default value
    DWORD type = 0;
    std::string data;
    std::uint32_t section = NoSection; // the section holding its lines; NoSection when new
    std::uint32_t rawBegin = 0;        // its lines in the text, line ends included
    std::uint32_t rawEnd = 0;
    bool changed = false; // differs from its lines in the text
};

class Image
{
  public:
    Image();

    // Takes a REGEDIT4 text; false, with `error` filled, when it is malformed.
    bool Load(ImageText text, ImageError& error);

    // HKEY_LOCAL_MACHINE and HKEY_LOCAL_MACHINE\SOFTWARE\Classes, made on
    // demand when the image lacks them (written only once they hold something).
    KeyId LocalMachine();
    KeyId ClassesRoot();

    // Names compare without regard to ASCII case.
    KeyId Find(KeyId parent, std::string_view name) const;
    // The existing subkey of that name, or a new one after its siblings.
    KeyId Create(KeyId parent, std::string_view name);
    // The subkey at that position, in image order; NoKey past the last.
    KeyId Subkey(KeyId key, std::uint32_t index);
    KeyId Parent(KeyId key) const;
    std::string_view Name(KeyId key) const;
    // False once the key or one above it has been deleted.
    bool Exists(KeyId key) const;

    // The value of that name (the default value for ""), or null.
    const Value* FindValue(KeyId key, std::string_view name);
    void SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data);
    // Removes the key and everything under it.
    void Delete(KeyId key);

    bool Changed() const;
    bool Write(const std::function<bool(const char*, std::size_t)>& write) const;

  private:
    struct Key
    {
        std::uint32_t name;            // offset of the name in the text, or in names_ if Pooled
        std::uint32_t nameLength : 24; // bytes of the name
        std::uint32_t flags : 8;       // KeyFlag bits
        KeyId parent;                  // NoKey only for the top, above the root keys
        KeyId firstChild;              // first subkey, in image order
        KeyId lastChild;               // last subkey
        KeyId nextSibling;             // next subkey of the parent
        std::uint32_t firstSection;    // its first own section; NoSection if it has none
        std::uint32_t origin;          // the section whose key line first named it
        std::uint32_t lastSubtree;     // the last section of it or of a key below it
    };
    struct Section
    {
        std::uint32_t begin; // offset of its key line
        KeyId key;
    };
    class Output;
    struct LoadPath;

    bool ReadLines(std::size_t begin, ImageError& error);
    bool IndexAll();
    bool ReadKeyLine(std::size_t begin, std::size_t contentEnd, std::size_t line, LoadPath& path,
                     ImageError& error);
    KeyId RootOf(std::string_view name, std::uint32_t nameOffset, std::uint32_t section);
    KeyId Named(KeyId parent, std::string_view name, std::uint32_t offset, bool pooled,
                std::uint32_t section);
    KeyId NewKey(KeyId parent, std::uint32_t name, std::size_t length, unsigned flags,
                 std::uint32_t section, std::uint32_t hash);
    KeyId OnDemand(KeyId parent, std::uint32_t name, std::size_t length);
    KeyId Find(KeyId parent, std::string_view name, std::uint32_t hash) const;
    void Index(KeyId key, std::uint32_t hash);
    void Reindex(std::size_t slots);
    std::vector<Value>& Values(KeyId key);
    void ReadSection(std::uint32_t section, std::vector<Value>& values) const;
    std::size_t SectionEnd(std::uint32_t section) const;
    std::size_t BodyBegin(std::uint32_t section) const;
    std::uint32_t LastSection(KeyId key) const;
    std::string Path(KeyId key) const;
    std::size_t Depth(KeyId key) const;
    std::vector<std::uint32_t> SectionsOf(KeyId key) const;
    void WriteSection(Output& out, std::uint32_t section) const;
    void WriteNewKey(Output& out, KeyId key, bool withValues) const;
    void WriteNewSubtree(Output& out, KeyId key) const;

    ImageText source_;      // holds the bytes that text_ views
    std::string_view text_; // the image as it was read
    std::string names_;     // names of keys that do not stand in the text
    std::vector<Key> keys_; // sized for the image's key lines once they are counted
    std::vector<Section> sections_;
    std::unordered_map<KeyId, std::vector<std::uint32_t>> moreSections_; // after the first
    std::vector<KeyId> slots_; // open-addressing index of keys by parent and name
    std::size_t indexed_ = 0;
    std::unordered_map<KeyId, std::vector<Value>> values_; // keys whose values were parsed
    std::vector<KeyId> created_;                           // keys made by this run, in order
    std::vector<KeyId> dirty_;                             // keys whose values changed
    std::vector<KeyId> deleted_;                           // keys deleted with their subtrees
    KeyId cursorKey_ = NoKey; // the last subkey looked up by position, to enumerate in O(1)
    std::uint32_t cursorIndex_ = 0;
    KeyId cursorChild_ = NoKey;
    bool changed_ = false;
    bool deferIndex_ = false; // while loading: new keys are indexed only at the end
};

} // namespace win95
