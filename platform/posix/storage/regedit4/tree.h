// What the files of the registry image share about its key tree: the flags
// of a node, the names a HKEY_CLASSES_ROOT key line stands for, the hash by
// which names are compared first, and the walks over a key's runs.
#pragma once

#include "platform/posix/storage/regedit4/storage.h"
#include "platform/posix/storage/regedit4/values.h"

#include <cstdint>
#include <string_view>

namespace win95
{

constexpr KeyId top = 0; // above the root keys; has no name

enum KeyFlag : unsigned
{
    Pooled = 1,  // the name is in names_, not in the text
    Deleted = 2, // removed, with everything under it
    Created = 4, // made by this run, so it stands in no section
    Quiet = 8,   // made only to reach a root key; written once it holds a value
    Dirty = 16,  // its values changed
    Listed = 32, // every subkey in its runs has a node, in image order
};

// Section::depth's flag for a HKEY_CLASSES_ROOT key line.
constexpr std::uint32_t ClassesLine = 0x80000000u;

// The names a HKEY_CLASSES_ROOT key line stands for, at the start of names_,
// and the length of the path they make.
constexpr std::string_view fixedNames = "HKEY_LOCAL_MACHINESOFTWAREClasses";
constexpr std::string_view localMachineName = fixedNames.substr(0, 18);
constexpr std::string_view softwareName = fixedNames.substr(18, 8);
constexpr std::string_view classesName = fixedNames.substr(26, 7);
constexpr std::string_view classesRootName = "HKEY_CLASSES_ROOT";
constexpr std::uint32_t classesPathLength = 18 + 1 + 8 + 1 + 7;

// Hash of a name without regard to ASCII case, eight bytes at a time.
inline std::uint32_t NameHash(std::string_view name)
{
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ name.size();
    std::size_t at = 0;
    for (; at + 8 <= name.size(); at += 8)
        hash = (hash ^ LowerWord(LoadWord(name.data() + at, 8))) * 0xFF51AFD7ED558CCDull;
    if (at < name.size())
        hash = (hash ^ LowerWord(LoadWord(name.data() + at, name.size() - at))) *
               0xFF51AFD7ED558CCDull;
    hash ^= hash >> 32;
    hash *= 0xC4CEB9FE1A85EC53ull;
    return static_cast<std::uint32_t>(hash >> 32);
}

// Visits the key's runs in image order. The visit may make nodes, which
// moves keys_ and moreRuns_, but it never adds runs to this key.
template <typename Visit> void Image::ForEachRun(KeyId key, Visit visit) const
{
    Run first = keys_[key].run;
    std::uint32_t more = keys_[key].moreRuns;
    if (first.begin != first.end)
        visit(first);
    if (more != NoSection)
        for (std::size_t at = 0; at < moreRuns_[more].size(); ++at)
            visit(moreRuns_[more][at]);
}

// Calls visit(run) for each stretch of the key's runs that names one of
// its subkeys, in image order: a stretch ends where a line shares no more
// than the key's own names with the line before.
// The first section from `at` whose key line shares no more than `depth`
// names with the line before, or `end`. The lines below one subkey can be
// most of a large image, so they are passed over sixteen at a time where
// the processor compares four counts at once.
inline std::uint32_t Image::NextLineSharing(std::uint32_t at, std::uint32_t end,
                                            std::uint32_t depth) const
{
#if defined(__SSE2__)
    const __m128i most = _mm_set1_epi32(static_cast<int>(depth));
    for (; end - at >= 16; at += 16)
    {
        const auto* four = reinterpret_cast<const __m128i*>(shared_.data() + at);
        __m128i more =
            _mm_and_si128(_mm_and_si128(_mm_cmpgt_epi32(_mm_loadu_si128(four), most),
                                        _mm_cmpgt_epi32(_mm_loadu_si128(four + 1), most)),
                          _mm_and_si128(_mm_cmpgt_epi32(_mm_loadu_si128(four + 2), most),
                                        _mm_cmpgt_epi32(_mm_loadu_si128(four + 3), most)));
        if (_mm_movemask_ps(_mm_castsi128_ps(more)) != 0xF)
            break;
    }
#endif
    while (at < end && shared_[at] > depth)
        ++at;
    return at;
}

template <typename Visit> void Image::ForEachChildRun(KeyId key, Visit visit) const
{
    std::uint32_t depth = keys_[key].depth;
    ForEachRun(key,
               [&](Run run)
               {
                   for (std::uint32_t at = run.begin; at < run.end;)
                   {
                       std::uint32_t start = at;
                       at = NextLineSharing(at + 1, run.end, depth);
                       if (Depth(start) > depth)
                           visit(Run{start, at});
                   }
               });
}

} // namespace win95
