// The folders of a FAT file system as mdir lists them, kept once listed:
// each look into the image starts an mtools program. Paths are mtools'
// ("::/WINDOWS/SYSTEM.DAT", "::" for the root).
#pragma once

#include <map>
#include <string>
#include <vector>

namespace win95
{

// An entry of a folder: the long name where there is one.
struct Entry
{
    std::string name;
    bool folder;
};
using Listing = std::vector<Entry>;

// The folder part and the last name of an mtools path ("::/A/B" gives
// "::/A" and "B").
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// True when the name can only match an entry by its listed name: any other
// spelling of an entry is its short alias, which those tools that write FAT
// make with a '~' tail, and non-ASCII names match in ways our ASCII folding
// does not know.
bool ListedSpelling(const std::string& name);

// The entries in what `mdir -a -b` printed: one path a line, a folder's
// with a trailing '/'.
Listing ParseListing(const std::string& printed);

// The DOS attribute bits in what mattrib printed for one entry
// ("  A  SHR  ::/PATH"): false when it printed none.
bool ParseAttributes(const std::string& printed, unsigned& bits);

// The entry of that name, compared without regard to ASCII case; null
// when there is none.
const Entry* Find(const Listing& listing, const std::string& name);

// The listings read so far, kept up to date by our own writes (nothing
// else writes the image while we hold its lock).
class Listings
{
  public:
    // The folder's listing, when it is known; null otherwise.
    const Listing* Known(const std::string& folder) const;
    const Listing& Keep(const std::string& folder, Listing listing);
    void Forget();

    // After one of our writes in the folder of `path`: the entry `gone`
    // left it and the file `added` came into it (either may be empty), if
    // the write `done`.
    void Noted(const std::string& path, const std::string& gone, const std::string& added,
               bool done);

  private:
    std::map<std::string, Listing> listings_; // by folder path in upper case
};

} // namespace win95
