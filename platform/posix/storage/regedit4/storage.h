// The REGEDIT4 image as a registry storage.
//
// The text stays one buffer, checked in full when it is read. Each section
// (a key line and the lines up to the next key line) is recorded as a few
// numbers: where it starts, how many leading names its key path shares with
// the key line before, its depth, and a hash of its first name not shared.
// A key gets a node only when a run reaches it. A node knows its runs: the
// stretches of consecutive sections that all name it or keys below it (one
// stretch in an image written in tree order). Its subkeys are found in its
// runs, where the shared-name counts drop to its depth; a look-up compares
// the hashes there before it looks at a name in the text. Values are parsed
// from a key's own sections when they are first used.
//
// Writing copies every section the run left alone straight from the buffer;
// a section whose values changed keeps its key line, its comments and its
// untouched value lines, and gets the changed values in canonical form.
//
// An image with HKEY_CLASSES_ROOT sections keeps them as they are: their
// keys are the keys under HKEY_LOCAL_MACHINE\SOFTWARE\Classes, and new keys
// are always written under that path. A key named by several sections has
// the values of all of them (a later line of the same name wins); each of
// its sections stays where it stands, and new values go to its last one.
#pragma once

#include "platform/posix/storage/regedit4/image.h"
#include "platform/posix/storage/storage.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace win95
{

constexpr std::uint32_t NoSection = 0xFFFFFFFFu;

// A value and the place of its lines in the text.
struct ValueLine : Value
{
    std::uint32_t section = NoSection; // the section holding its lines; NoSection when new
    std::uint32_t rawBegin = 0;        // its lines in the text, line ends included
    std::uint32_t rawEnd = 0;
    bool changed = false; // differs from its lines in the text
};

class Image final : public Storage
{
  public:
    // Where reading finds a fault: lines count from the start of the
    // stretch being read (the image is read in stretches at once), and
    // become the text of the fault's place once it is known.
    struct LineFault
    {
        std::size_t line = 0;
        const char* what = "";
    };

    Image();

    // Takes a REGEDIT4 text; false, with `fault` filled (its line number as
    // the place), when it is malformed.
    bool Load(ImageText text, Fault& fault);

    KeyId LocalMachine() override;
    KeyId ClassesRoot() override;
    KeyId Find(KeyId parent, std::string_view name) const override;
    KeyId Create(KeyId parent, std::string_view name) override;
    KeyId Subkey(KeyId key, std::uint32_t index) override;
    KeyId Parent(KeyId key) const override;
    std::string_view Name(KeyId key) const override;
    bool Exists(KeyId key) const override;
    void Delete(KeyId key) override;
    const Value* FindValue(KeyId key, std::string_view name) override;
    void SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) override;
    void ForEachValue(KeyId key, const std::function<void(const Value&)>& visit) override;
    bool Changed() const override;
    bool Write(const WriteSink& write) const override;

  private:
    struct Section
    {
        std::uint32_t begin; // offset of its key line
        std::uint32_t depth; // names in its path; ClassesLine set for HKEY_CLASSES_ROOT
        std::uint32_t hash;  // NameHash of its name number `shared`, the first not shared
    };
    // The key lines as reading records them. Beside each section, kept
    // apart since searches for subkeys go through it alone: how many
    // leading names its path has byte for byte as the line before.
    struct KeyLines
    {
        std::vector<Section> sections;
        std::vector<std::uint32_t> shared;
    };
    // Sections [begin, end), consecutive, that all name a key or keys below it.
    struct Run
    {
        std::uint32_t begin;
        std::uint32_t end;
    };
    struct Key
    {
        std::uint32_t name;            // offset of the name in the text, or in names_ if Pooled
        std::uint32_t nameLength : 24; // bytes of the name
        std::uint32_t flags : 8;       // KeyFlag bits
        KeyId parent;                  // NoKey only for the top, above the root keys
        std::uint32_t depth;           // names from the top down to it
        std::uint32_t pathLength;      // bytes of its path as a HKEY_LOCAL_MACHINE line spells it
        std::uint32_t hash;            // NameHash of its name
        KeyId firstChild;              // the subkeys known so far; in image order once Listed
        KeyId lastChild;
        KeyId previous; // siblings
        KeyId next;
        Run run;                // its first run; empty when no section names it
        std::uint32_t moreRuns; // its further runs, in moreRuns_; NoSection if none
        std::uint32_t scans;    // look-ups that searched its runs for a subkey
        std::uint32_t values;   // its place in values_ once they are parsed; NoSection before
    };
    // The values of a key whose values have been parsed.
    struct KeyValues
    {
        std::vector<ValueLine> values;       // in the order of their lines; new ones last
        std::vector<std::uint32_t> sections; // its own sections, in image order
    };
    // A name in the text, or one of the fixed names in names_.
    struct NameAt
    {
        std::string_view name;
        bool pooled;
    };
    class Output;
    struct LoadPath;
    struct Piece;
    struct Placed;

    // Reading and checking the text (key_lines.cpp).
    bool LoadLines(ImageText text, LineFault& error);
    bool ReadHeader(std::size_t& body, LineFault& error) const;
    std::vector<Piece> Pieces(std::size_t body) const;
    void ReadPieces(std::vector<Piece>& pieces) const;
    bool PiecesRead(const std::vector<Piece>& pieces, LineFault& error) const;
    const char* NulIn(std::size_t begin, std::size_t end) const;
    void ReadPiece(Piece& piece, std::size_t reserve) const;
    std::size_t LineOf(const char* at) const;
    bool ReadLines(std::size_t begin, std::size_t end, std::size_t line, KeyLines& lines,
                   LineFault& error, const char*& nul) const;
    bool CheckLines(std::size_t begin, std::size_t end, std::size_t line, KeyLines& lines,
                    LineFault& error, std::size_t& searched, const char*& nul) const;
    bool ReadKeyLine(std::size_t begin, std::size_t contentEnd, std::size_t same, std::size_t line,
                     LoadPath& path, KeyLines& lines, LineFault& error) const;

    // The key tree (tree.cpp).
    std::uint32_t Depth(std::uint32_t section) const;
    std::string_view Pool(std::string_view fixed) const;
    NameAt ChildName(std::uint32_t section, KeyId parent) const;
    std::size_t PathEnd(std::uint32_t section) const;
    std::uint32_t NextLineSharing(std::uint32_t at, std::uint32_t end, std::uint32_t depth) const;
    template <typename Visit> void ForEachChildRun(KeyId key, Visit visit) const;
    template <typename Visit> void ForEachRun(KeyId key, Visit visit) const;
    void AddRun(KeyId key, Run run) const;
    KeyId NewKey(KeyId parent, std::string_view name, bool pooled, unsigned flags) const;
    void Append(KeyId parent, KeyId key) const;
    void Unlink(KeyId key) const;
    KeyId Search(KeyId parent, std::string_view name) const;
    // True when the key stands and has that name.
    bool Named(KeyId key, std::string_view name) const;
    KeyId ScanForChild(KeyId parent, std::string_view name, std::uint32_t hash) const;
    void List(KeyId key) const;
    KeyId OnDemand(KeyId parent, std::string_view name);
    KeyValues& Values(KeyId key);
    // The values parsed for the key; null if they have not been.
    const KeyValues* ParsedValues(KeyId key) const;
    void ReadSection(std::uint32_t section, std::vector<ValueLine>& values) const;
    std::size_t SectionEnd(std::uint32_t section) const;
    std::size_t BodyBegin(std::uint32_t section) const;
    std::uint32_t LastSubtreeSection(KeyId key) const;
    std::string Path(KeyId key) const;

    // The index of known keys by parent and name (index.cpp).
    // The first key of that parent and name without any of the `skip` flags.
    KeyId Lookup(KeyId parent, std::string_view name, std::uint32_t hash, unsigned skip) const;
    void Index(KeyId key) const;
    void Reindex(std::size_t slots) const;

    // Writing back (write.cpp).
    struct Changes;
    void PlaceNewKeys(Changes& changes) const;
    void PlaceChangedValues(Changes& changes) const;
    void PlaceDeletions(Changes& changes) const;
    static void ListTouched(Changes& changes);
    void WriteSection(Output& out, KeyId key, std::uint32_t section) const;
    void WriteNewKey(Output& out, KeyId key, bool withValues) const;
    void WriteNewSubtree(Output& out, KeyId key) const;

    ImageText source_;                  // holds the bytes that text_ views
    std::string_view text_;             // the image as it was read
    std::vector<Section> sections_;     // one per key line, in image order
    std::vector<std::uint32_t> shared_; // KeyLines::shared of each
    std::string names_;                 // names of keys that do not stand in the text
    // Nodes are made when a look-up reaches a key, which a const look-up does too.
    mutable std::vector<Key> keys_;
    mutable std::vector<std::vector<Run>> moreRuns_;
    // The last subkey a search of its parent's runs did not find (a name to
    // be created is looked up twice in a row).
    mutable KeyId missParent_ = NoKey;
    mutable std::string missName_;
    mutable KeyId found_[2] = {NoKey, NoKey}; // the keys found last under two parents, latest first
    // Open-addressing index of keys by parent and name; each slot keeps the
    // name's hash beside the key, so that a probe need not visit the key.
    struct Slot
    {
        KeyId key;
        std::uint32_t hash;
    };
    mutable std::vector<Slot> slots_;
    mutable std::size_t indexed_ = 0;
    std::vector<KeyValues> values_; // of the keys whose values were parsed
    std::vector<KeyId> created_;    // keys made by this run, in order
    std::vector<KeyId> dirty_;      // keys whose values changed
    std::vector<KeyId> deleted_;    // keys deleted with their subtrees
    KeyId localMachine_ = NoKey;    // the root keys, once found or made
    KeyId classesRoot_ = NoKey;
    KeyId cursorKey_ = NoKey; // the last subkey looked up by position, to enumerate in O(1)
    std::uint32_t cursorIndex_ = 0;
    KeyId cursorChild_ = NoKey;
    bool changed_ = false;
};

} // namespace win95
