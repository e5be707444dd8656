#include "platform/posix/disk/listing.h"

#include "platform/posix/os/text.h"

#include <cstring>
#include <iterator>

namespace win95
{
namespace
{

// True when mtools stores the name as it is, as a short name alone, so that
// mdir lists it just so: an upper-case 8.3 name.
bool PlainShortName(const std::string& name)
{
    const size_t dot = name.find('.');
    const size_t base = dot == std::string::npos ? name.size() : dot;
    if (base == 0 || base > 8 ||
        (dot != std::string::npos && (name.size() - dot - 1 > 3 || name.size() == dot + 1 ||
                                      name.find('.', dot + 1) != std::string::npos)))
        return false;
    for (unsigned char c : name)
        if (c != '.' && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') &&
            std::strchr("_$!#%&'()@^`{}-", c) == nullptr)
            return false;
    return true;
}

} // namespace

std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

std::string NameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

bool ListedSpelling(const std::string& name)
{
    for (unsigned char c : name)
        if (c == '~' || c >= 0x80)
            return false;
    return true;
}

Listing ParseListing(const std::string& printed)
{
    Listing listing;
    size_t start = 0;
    while (start < printed.size())
    {
        size_t end = printed.find('\n', start);
        if (end == std::string::npos)
            end = printed.size();
        std::string line = printed.substr(start, end - start);
        start = end + 1;
        const bool isFolder = !line.empty() && line.back() == '/';
        if (isFolder)
            line.pop_back();
        const size_t slash = line.rfind('/');
        if (slash != std::string::npos && slash + 1 < line.size())
            listing.push_back({line.substr(slash + 1), isFolder});
    }
    return listing;
}

// The letters stand before the name.
bool ParseAttributes(const std::string& printed, unsigned& bits)
{
    const size_t name = printed.find("::");
    if (name == std::string::npos)
        return false;
    bits = 0;
    for (size_t i = 0; i < name; ++i)
        switch (printed[i])
        {
        case 'R':
            bits |= 0x01;
            break;
        case 'H':
            bits |= 0x02;
            break;
        case 'S':
            bits |= 0x04;
            break;
        case 'A':
            bits |= 0x20;
            break;
        }
    return true;
}

const Entry* Find(const Listing& listing, const std::string& name)
{
    for (const Entry& entry : listing)
        if (SameName(entry.name, name))
            return &entry;
    return nullptr;
}

const Listing* Listings::Known(const std::string& folder) const
{
    const auto known = listings_.find(AsciiUpper(folder));
    return known != listings_.end() ? &known->second : nullptr;
}

const Listing& Listings::Keep(const std::string& folder, Listing listing)
{
    return listings_[AsciiUpper(folder)] = std::move(listing);
}

void Listings::Forget()
{
    listings_.clear();
}

// A listing that cannot be brought up to date for certain is dropped and
// read again when next needed; so is every listing reached through a
// short alias, which may be this folder too.
void Listings::Noted(const std::string& path, const std::string& gone, const std::string& added,
                     bool done)
{
    const std::string folder = FolderOf(path);
    if (!ListedSpelling(folder))
    {
        // Written through a short alias: any listing may be this folder's.
        listings_.clear();
        return;
    }
    for (auto at = listings_.begin(); at != listings_.end();)
        at = ListedSpelling(at->first) ? std::next(at) : listings_.erase(at);
    const auto known = listings_.find(AsciiUpper(folder));
    if (known == listings_.end())
        return;
    Listing& listing = known->second;
    const Entry* leaving = gone.empty() ? nullptr : Find(listing, gone);
    if (leaving != nullptr && leaving->folder)
    {
        // Listings below a folder that is renamed or removed are stale.
        listings_.clear();
        return;
    }
    if (!done || (!gone.empty() && leaving == nullptr) ||
        (!added.empty() && !PlainShortName(added)))
    {
        listings_.erase(known);
        return;
    }
    if (leaving != nullptr)
        listing.erase(listing.begin() + (leaving - listing.data()));
    if (!added.empty())
        listing.push_back({added, false});
}

} // namespace win95
