#include "platform/posix/disk/disk_image.h"

#include "platform/posix/disk/qemu_view.h"
#include "platform/posix/machine/installation.h"
#include "platform/posix/os/child.h"
#include "platform/posix/os/descriptor.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <string_view>
#include <sys/wait.h>

namespace win95
{
namespace
{

constexpr uint64_t kSector = 512;

unsigned Le16(const unsigned char* p)
{
    return p[0] | p[1] << 8;
}

uint32_t Le32(const unsigned char* p)
{
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

uint32_t Be32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The size in bytes of the FAT16 or FAT32 file system whose boot sector
// this is; 0 when it is none. FAT12 and FAT16 are told apart by the count
// of clusters, as the format defines, not by the label in the sector.
uint64_t FatBytes(const unsigned char* boot)
{
    const unsigned bytesPerSector = Le16(boot + 11);
    const unsigned perCluster = boot[13];
    const unsigned reserved = Le16(boot + 14);
    const unsigned fats = boot[16];
    const unsigned rootEntries = Le16(boot + 17);
    const uint64_t sectors = Le16(boot + 19) != 0 ? Le16(boot + 19) : Le32(boot + 32);
    const uint64_t fatSectors = Le16(boot + 22) != 0 ? Le16(boot + 22) : Le32(boot + 36);
    if ((boot[0] != 0xEB && boot[0] != 0xE9) || boot[510] != 0x55 || boot[511] != 0xAA)
        return 0;
    if (bytesPerSector < 512 || bytesPerSector > 4096 ||
        (bytesPerSector & (bytesPerSector - 1)) != 0 || perCluster == 0 ||
        (perCluster & (perCluster - 1)) != 0 || reserved == 0 || fats == 0 || fatSectors == 0)
        return 0;
    const uint64_t rootSectors = (rootEntries * 32u + bytesPerSector - 1) / bytesPerSector;
    const uint64_t system = reserved + fats * fatSectors + rootSectors;
    if (sectors <= system || (sectors - system) / perCluster < 4085)
        return 0;
    return sectors * bytesPerSector;
}

bool IsFatPartitionType(unsigned type)
{
    return type == 0x04 || type == 0x06 || type == 0x0E || type == 0x0B || type == 0x0C;
}

// The bytes of an open file, mapped whole (none for an empty file) while
// this lives.
class Contents
{
  public:
    explicit Contents(int fd)
    {
        struct stat info;
        if (sys::Fstat(fd, &info) != 0)
            return;
        size_ = static_cast<size_t>(info.st_size);
        mapped_ = size_ == 0 ? nullptr : sys::Map(fd, size_);
        read_ = size_ == 0 || mapped_ != nullptr;
    }
    ~Contents()
    {
        if (mapped_ != nullptr)
            sys::Unmap(mapped_, size_);
    }
    Contents(const Contents&) = delete;
    Contents& operator=(const Contents&) = delete;

    // False, with the cause kept, when the file could not be read.
    bool Read() const
    {
        return read_;
    }
    std::string_view Bytes() const
    {
        return {mapped_ != nullptr ? static_cast<const char*>(mapped_) : "", size_};
    }

  private:
    void* mapped_ = nullptr;
    size_t size_ = 0;
    bool read_ = false;
};

// An entry of a folder as mdir lists it: the long name where there is one.
struct Entry
{
    std::string name;
    bool folder;
};
using Listing = std::vector<Entry>;

// The folder part and the last name of an mtools path ("::/A/B" gives
// "::/A" and "B").
std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

std::string NameOf(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// True when the name can only match an entry by its listed name: any other
// spelling of an entry is its short alias, which those tools that write FAT
// make with a '~' tail, and non-ASCII names match in ways our ASCII folding
// does not know.
bool ListedSpelling(const std::string& name)
{
    for (unsigned char c : name)
        if (c == '~' || c >= 0x80)
            return false;
    return true;
}

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

const char DiskFull[] = "disk full: the file system that holds the image has no room left; "
                        "make room there and run again";

class MtoolsImage final : public DiskImage
{
  public:
    MtoolsImage(int fd, std::string name) : fd_(fd), name_(std::move(name))
    {
        // Only our own settings count: no user's .mtoolsrc (HOME leads to
        // none), no drive configuration, and the environment's settings
        // override the system-wide file. MTOOLS_SKIP_CHECK lets images made
        // by other tools in; the locale keeps names as bytes of UTF-8.
        environment_ = {
            "HOME=/dev/null",      "MTOOLSRC=/dev/null",         "LC_ALL=C.UTF-8",
            "MTOOLS_SKIP_CHECK=1", "MTOOLS_LOWER_CASE=0",        "MTOOLS_NO_VFAT=0",
            "MTOOLS_DOTTED_DIR=0", "MTOOLS_NAME_NUMERIC_TAIL=1", "MTOOLS_FAT_COMPATIBILITY=0"};
        if (const char* zone = std::getenv("TZ"))
            environment_.push_back(std::string("TZ=") + zone);
    }

    // The view is written through fd_, and flushed when the daemon stops;
    // the image itself stays open, and locked, until then.
    ~MtoolsImage() override
    {
        sys::Close(fd_);
        if (view_)
        {
            std::string ignored;
            view_->Stop(ignored);
        }
        if (imageFd_ >= 0)
            sys::Close(imageFd_);
    }

    // Reads and writes go from now on to the raw view, open as `raw`, of
    // an image in one of QEMU's formats; the image stays open and locked.
    void ReadThrough(std::unique_ptr<QemuView> view, int raw)
    {
        view_ = std::move(view);
        imageFd_ = fd_;
        fd_ = raw;
    }

    // Chooses the partition at `offset` bytes into the image, `bytes` long.
    void Use(uint64_t offset, uint64_t bytes)
    {
        drive_ = "/proc/self/fd/" + std::to_string(fd_) + "@@" + std::to_string(offset);
        end_ = offset + bytes;
        listings_.clear();
    }

    bool Exists(const std::string& dosPath) override
    {
        return Look(dosPath, false);
    }

    bool IsFolder(const std::string& dosPath) override
    {
        return Look(dosPath, true);
    }

    bool List(const std::string& dosFolder, std::vector<std::string>& names) override
    {
        std::string path;
        bool missing = false;
        const Listing* listing = Path(dosFolder, path) ? Entries(path, missing) : nullptr;
        if (listing == nullptr)
            return false;
        names.clear();
        for (const Entry& entry : *listing)
            names.push_back(entry.name);
        return true;
    }

    bool ReadFile(const std::string& dosPath, std::string& bytes) override
    {
        std::string path;
        if (!Path(dosPath, path))
            return false;
        // mcopy copies every file of a folder named as its source.
        if (IsFolder(dosPath))
            return Fail(dosPath + ": is a folder");
        if (!lastError_.empty())
            return false;
        // mcopy writes the file into a memfd at its own pace, with no pipe
        // to wait on, and it is then read in one piece of known size.
        Descriptor content(sys::MemfdCreate("dos-file"));
        ChildOutput child;
        if (content.Get() < 0)
            return Fail(std::string("cannot hold the file: ") + sys::Reason());
        if (!Tool({"mcopy", path, "-"}, -1, child, content.Get()) || !Succeeded(child))
            return false;
        const Contents read(content.Get());
        if (!read.Read())
            return Fail(dosPath + ": " + sys::Reason());
        bytes.assign(read.Bytes());
        return true;
    }

    bool CreateFile(const std::string& dosPath, const std::string& bytes) override
    {
        // The bytes go to mcopy as a whole file, not through a pipe: a run
        // killed while mcopy works then leaves the whole file or none,
        // never one cut short by the end of its input.
        Descriptor content(sys::MemfdCreate("dos-file"));
        if (content.Get() < 0 || !sys::WriteAll(content.Get(), bytes.data(), bytes.size()))
            return Fail(std::string("cannot hold the new file: ") + sys::Reason());
        return CreateFileFrom(dosPath, content.Get());
    }

    bool CreateFileFrom(const std::string& dosPath, int content) override
    {
        std::string path;
        if (!Path(dosPath, path) || !Absent(dosPath))
            return false;
        // With the name checked free, a clash can only be a short name,
        // which gets a numeric tail; no clash may ever wait for an answer.
        ChildOutput child;
        written_ = true;
        const bool done =
            Tool({"mcopy", "-D", "s", "-D", "A", "/proc/self/fd/" + std::to_string(content), path},
                 content, child) &&
            Succeeded(child);
        Noted(path, "", NameOf(path), done);
        return done && ReadsBack(dosPath, content);
    }

    bool RoomFor(uint64_t bytes) override
    {
        lastError_.clear();
        rlimit limit;
        if (sys::FileSizeLimit(&limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur < end_)
            return Fail("file too large: the file size limit (ulimit -f) of " +
                        std::to_string(limit.rlim_cur) +
                        " bytes stops short of the partition's end at byte " +
                        std::to_string(end_) + "; raise it and run again");
        // Writes into a sparse image's holes take room on the host; those
        // into parts already stored take none. An image in one of QEMU's
        // formats may grow with any write, on the file system that holds
        // it, not its view's. Room for all of it, and a megabyte for the
        // file system's tables and folders, is asked for before anything
        // is written, so that no write is cut off half way.
        struct stat info;
        struct statvfs host;
        if (sys::Fstat(fd_, &info) != 0 ||
            sys::FstatVfs(imageFd_ >= 0 ? imageFd_ : fd_, &host) != 0)
            return Fail(sys::Reason());
        const uint64_t stored = static_cast<uint64_t>(info.st_blocks) * 512;
        const uint64_t room = static_cast<uint64_t>(host.f_bavail) * host.f_frsize;
        const bool grows = imageFd_ >= 0 || stored < static_cast<uint64_t>(info.st_size);
        if (grows && room < bytes + (uint64_t{1} << 20))
            return Fail(DiskFull);
        return true;
    }

    bool Rename(const std::string& from, const std::string& to) override
    {
        std::string source, target;
        if (!Path(from, source) || !Path(to, target))
            return false;
        if (!SameName(source.substr(0, source.rfind('/')), target.substr(0, target.rfind('/'))))
            return Fail(to + ": not in the folder of " + from);
        if (!Absent(to))
            return false;
        ChildOutput child;
        written_ = true;
        const bool done =
            Tool({"mren", "-D", "s", "-D", "A", source, target}, -1, child) && Succeeded(child);
        Noted(source, NameOf(source), NameOf(target), done);
        return done;
    }

    bool Remove(const std::string& dosPath) override
    {
        std::string path;
        if (!Path(dosPath, path))
            return false;
        if (path == "::")
            return Fail(dosPath + ": the root folder cannot be removed");
        const bool folder = IsFolder(dosPath);
        if (!lastError_.empty())
            return false;
        ChildOutput child;
        written_ = true;
        const bool done = Tool({folder ? "mrd" : "mdel", path}, -1, child) && Succeeded(child);
        Noted(path, NameOf(path), "", done);
        return done;
    }

    bool GetAttributes(const std::string& dosPath, unsigned& attributes) override
    {
        std::string path;
        if (!Path(dosPath, path))
            return false;
        if (path == "::")
        {
            attributes = 0x10;
            return true;
        }
        ChildOutput child;
        if (!Tool({"mattrib", path}, -1, child) || !Succeeded(child))
            return false;
        // "  A  SHR  ::/PATH": the letters stand before the name.
        const size_t name = child.out.find("::");
        if (name == std::string::npos)
            return Fail(dosPath + ": mattrib gave no attributes");
        unsigned bits = 0;
        for (size_t i = 0; i < name; ++i)
            switch (child.out[i])
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
        if (IsFolder(dosPath))
            bits |= 0x10;
        attributes = bits;
        return lastError_.empty();
    }

    bool SetAttributes(const std::string& dosPath, unsigned attributes) override
    {
        std::string path;
        if (!Path(dosPath, path))
            return false;
        if (path == "::")
            return Fail(dosPath + ": the root folder has no attributes");
        auto flag = [attributes](unsigned bit, const char* letter)
        { return std::string((attributes & bit) != 0 ? "+" : "-") + letter; };
        ChildOutput child;
        written_ = true;
        return Tool({"mattrib", flag(0x20, "a"), flag(0x01, "r"), flag(0x04, "s"), flag(0x02, "h"),
                     path},
                    -1, child) &&
               Succeeded(child);
    }

    // Nothing to flush when nothing was written since the last flush.
    bool Flush() override
    {
        lastError_.clear();
        if (!written_ || sys::Fsync(fd_) == 0)
        {
            written_ = false;
            return true;
        }
        return Fail(std::string("cannot flush: ") + sys::Reason());
    }

  private:
    bool Fail(const std::string& message)
    {
        lastError_ = name_ + ": " + message;
        return false;
    }

    // The path as mtools takes it ("::/WINDOWS/SYSTEM.DAT", "::" for the
    // root), or false for a name that FAT does not allow or mtools would
    // read as a pattern.
    bool Path(const std::string& dosPath, std::string& path)
    {
        lastError_.clear();
        path = "::";
        size_t start = 0;
        while (start <= dosPath.size())
        {
            size_t end = dosPath.find('\\', start);
            if (end == std::string::npos)
                end = dosPath.size();
            const std::string name = dosPath.substr(start, end - start);
            start = end + 1;
            if (name.empty())
                continue;
            bool allowed = name != "." && name != ".." && name.back() != ' ';
            for (unsigned char c : name)
                allowed = allowed && c >= 0x20 && std::strchr("/:*?\"<>|[]", c) == nullptr;
            if (!allowed)
                return Fail(dosPath + ": not a name this tool accepts on a FAT drive");
            path += "/" + name;
        }
        return true;
    }

    // mdir answers for an entry, or with a trailing '/' for a folder only;
    // "not found" is an answer, not a failure.
    bool Probe(const std::string& path, const char* suffix)
    {
        ChildOutput child;
        if (!Tool({"mdir", "-a", "-b", path + suffix}, -1, child))
            return false;
        if (child.status == 0)
            return true;
        if (child.err.find("not found") != std::string::npos)
            return false;
        Succeeded(child);
        return false;
    }

    // The folder's entries, listed once and then kept up to date by our own
    // writes (nothing else writes the image while we hold its lock): each
    // look into the image starts an mtools program. Null, with `missing`
    // set when the folder does not exist, or with the error when it could
    // not be listed.
    const Listing* Entries(const std::string& folder, bool& missing)
    {
        const std::string key = AsciiUpper(folder);
        const auto known = listings_.find(key);
        if (known != listings_.end())
            return &known->second;
        ChildOutput child;
        if (!Tool({"mdir", "-a", "-b", folder + "/"}, -1, child))
            return nullptr;
        if (!Succeeded(child))
        {
            missing = child.err.find("not found") != std::string::npos;
            return nullptr;
        }
        Listing listing;
        size_t start = 0;
        while (start < child.out.size())
        {
            size_t end = child.out.find('\n', start);
            if (end == std::string::npos)
                end = child.out.size();
            std::string line = child.out.substr(start, end - start);
            start = end + 1;
            const bool isFolder = !line.empty() && line.back() == '/';
            if (isFolder)
                line.pop_back();
            const size_t slash = line.rfind('/');
            if (slash != std::string::npos && slash + 1 < line.size())
                listing.push_back({line.substr(slash + 1), isFolder});
        }
        return &(listings_[key] = std::move(listing));
    }

    // Exists, or IsFolder when `folder`: from the listing of the folder the
    // entry is in, unless only mtools can match the name.
    bool Look(const std::string& dosPath, bool folder)
    {
        std::string path;
        if (!Path(dosPath, path))
            return false;
        if (path == "::")
            return true;
        const std::string name = NameOf(path);
        if (!ListedSpelling(name))
            return Probe(path, folder ? "/" : "");
        bool missing = false;
        const Listing* listing = Entries(FolderOf(path), missing);
        if (listing == nullptr)
        {
            if (missing)
                lastError_.clear();
            return false;
        }
        const Entry* entry = Find(*listing, name);
        return entry != nullptr && (!folder || entry->folder);
    }

    static const Entry* Find(const Listing& listing, const std::string& name)
    {
        for (const Entry& entry : listing)
            if (SameName(entry.name, name))
                return &entry;
        return nullptr;
    }

    // After one of our writes in the folder of `path`: the entry `gone`
    // left it and the file `added` came into it (either may be empty), if
    // the write `done`. A listing that cannot be brought up to date for
    // certain is dropped and read again when next needed; so is every
    // listing reached through a short alias, which may be this folder too.
    void Noted(const std::string& path, const std::string& gone, const std::string& added,
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

    // True when no entry has this name; false also when that cannot be told.
    bool Absent(const std::string& dosPath)
    {
        if (Exists(dosPath))
            return Fail(dosPath + ": already exists");
        return lastError_.empty();
    }

    // True when the file at dosPath holds what `content` holds: mcopy exits
    // with 0 after some failed writes, so that only reading it back tells.
    bool ReadsBack(const std::string& dosPath, int content)
    {
        std::string back;
        if (!ReadFile(dosPath, back))
            return false;
        const Contents written(content);
        if (!written.Read())
            return Fail(sys::Reason());
        if (back.size() != written.Bytes().size())
            return Fail(dosPath + ": reads back " + std::to_string(back.size()) +
                        " bytes instead of the " + std::to_string(written.Bytes().size()) +
                        " written");
        return back == written.Bytes() || Fail(dosPath + ": does not read back as it was written");
    }

    // True when the child succeeded: it exited with 0 and wrote nothing to
    // its error output, where mtools reports writes that failed even when
    // it then exits with 0 ("plain_io: ...", "buffer_flush: ..."). Otherwise
    // the error says why, in the user's words where it is one of the
    // common causes, else as the child's first line.
    bool Succeeded(const ChildOutput& child)
    {
        if (child.status == 0 && child.err.empty())
            return true;
        if (child.err.find("No space left on device") != std::string::npos)
            return Fail(DiskFull);
        if (child.err.find("File too large") != std::string::npos)
            return Fail("file too large: the file size limit (ulimit -f) stopped a write into "
                        "the image; raise it and run again");
        if (child.err.find("Disk full") != std::string::npos)
            return Fail("the partition is full; make room on it and run again");
        std::string line = child.err.substr(0, child.err.find('\n'));
        if (line.empty())
            line = WIFSIGNALED(child.status)
                       ? "mtools ended by signal " + std::to_string(WTERMSIG(child.status))
                       : "mtools failed with status " + std::to_string(WEXITSTATUS(child.status));
        return Fail(line);
    }

    // Runs one mtools program on the partition in use, passing it the open
    // file `shared` too if >= 0, and writing its output to `output` if >= 0
    // rather than to child.out; false (error set) when it could not run.
    // In a process group of its own, the child never gets the signals the
    // terminal sends the run's group (Ctrl-C, Ctrl-\, hang-up): the run may
    // hold those back until its save is done, and mtools, once started,
    // then always finishes its writes. It reaches the very image file we
    // opened and locked.
    bool Tool(std::vector<std::string> args, int shared, ChildOutput& child, int output = -1)
    {
        args.insert(args.begin() + 1, {"-i", drive_});
        ChildSetup setup;
        setup.args = args;
        setup.environment = environment_;
        setup.output = output;
        setup.shared = {fd_};
        if (shared >= 0)
            setup.shared.push_back(shared);
        setup.ownGroup = true;
        if (RunChild(std::move(setup), child))
            return true;
        if (sys::FailedFor(ENOENT))
            return Fail("mtools is not installed (there is no " + args[0] +
                        " in PATH); install it (apt install mtools) and run again");
        return Fail(args[0] + ": " + sys::Reason());
    }

    int fd_;
    std::unique_ptr<QemuView> view_; // the raw view, for an image in one of QEMU's formats
    int imageFd_ = -1;               // that image, open and locked
    std::string name_;
    std::string drive_;
    std::vector<std::string> environment_;
    uint64_t end_ = 0;                        // the byte after the partition in use
    std::map<std::string, Listing> listings_; // by folder path in upper case
    bool written_ = false;                    // since the last flush
};

// A partition of the image: where it starts and how many bytes it spans.
struct Extent
{
    uint64_t offset;
    uint64_t bytes;
};

// Checks that a FAT16 or FAT32 file system starts at the extent and ends
// inside it, so that no write can reach past it; `error` says why not.
bool HoldsFat(int fd, const Extent& extent, std::string& error)
{
    unsigned char boot[kSector];
    if (extent.bytes < kSector ||
        sys::ReadAt(fd, boot, kSector, static_cast<off_t>(extent.offset)) != kSector)
    {
        error = "has no boot sector";
        return false;
    }
    const uint64_t bytes = FatBytes(boot);
    if (bytes == 0)
        error = "holds no FAT16 or FAT32 file system";
    else if (bytes > extent.bytes)
        error = "is smaller than its file system";
    return error.empty();
}

// "its partitions are 1 and 3", from the table's entries in use.
std::string PartitionsListed(const unsigned char* mbr)
{
    std::vector<std::string> numbers;
    for (int number = 1; number <= 4; ++number)
        if (mbr[446 + 16 * (number - 1) + 4] != 0)
            numbers.push_back(std::to_string(number));
    if (numbers.empty())
        return "it lists none";
    std::string listed = numbers.size() == 1 ? "its one partition is " : "its partitions are ";
    for (size_t at = 0; at < numbers.size(); ++at)
        listed += (at == 0 ? "" : at + 1 == numbers.size() ? " and " : ", ") + numbers[at];
    return listed;
}

} // namespace

bool FindWindows(DiskImage& disk, std::string& windows, std::string& why)
{
    std::string msdosSys;
    const bool named = disk.Exists("\\MSDOS.SYS");
    if (named && !disk.ReadFile("\\MSDOS.SYS", msdosSys))
        return false;
    windows = WindowsDirectoryFrom(msdosSys);
    if (windows.empty())
        why = "its MSDOS.SYS puts the Windows directory on another drive than C:";
    else if (!disk.IsFolder(windows))
        why = "the Windows directory C:" + windows +
              (named ? " that its MSDOS.SYS gives does not exist" : " does not exist");
    else if (!disk.Exists(windows + "\\SYSTEM.DAT") && !disk.Exists(windows + "\\SYSTEM.TVN"))
        why = "its Windows directory C:" + windows + " holds no SYSTEM.DAT";
    else
        return true;
    return false;
}

std::unique_ptr<DiskImage> OpenDiskImage(const std::string& hostPath, int partition,
                                         std::string& error)
{
    auto fail = [&](const std::string& why)
    {
        error = hostPath + ": " + why;
        return nullptr;
    };
    int fd = sys::Open(hostPath.c_str(), O_RDWR);
    if (fd < 0)
        return fail(sys::Reason());
    auto image = std::make_unique<MtoolsImage>(fd, hostPath);
    struct stat info;
    if (sys::Fstat(fd, &info) != 0)
        return fail(sys::Reason());
    if (!S_ISREG(info.st_mode))
        return fail("not a disk image file");
    // Our own runs on the image take turns, as on a machine folder; any
    // other program's lock keeps us out at once.
    int locked;
    while ((locked = sys::LockWhole(fd)) != 0 && sys::FailedFor(EBUSY))
        sys::Sleep(20);
    if (locked != 0)
        return fail(sys::FailedFor(EAGAIN)
                        ? "in use by another program (it holds a lock on the image); close it first"
                        : std::string("cannot lock: ") + sys::Reason());
    const std::string format = QemuFormatOf(fd, info.st_size);
    if (!format.empty())
    {
        std::string why;
        std::unique_ptr<QemuView> view = QemuView::Start(hostPath, format, why);
        if (!view)
            return fail(why);
        fd = sys::Open(view->Path().c_str(), O_RDWR);
        if (fd < 0)
            return fail("cannot open the view of the disk image: " + std::string(sys::Reason()));
        image->ReadThrough(std::move(view), fd);
        if (sys::Fstat(fd, &info) != 0)
            return fail(sys::Reason());
    }

    // A fixed-size VHD is the raw disk followed by a 512-byte footer.
    uint64_t size = static_cast<uint64_t>(info.st_size);
    unsigned char sector[kSector];
    if (size >= 2 * kSector)
    {
        if (sys::ReadAt(fd, sector, kSector, static_cast<off_t>(size - kSector)) != kSector)
            return fail(sys::Reason());
        if (std::memcmp(sector, "conectix", 8) == 0)
        {
            if (Be32(sector + 60) != 2)
                return fail(
                    "a dynamic or differencing VHD without the copy of its footer at its start");
            size -= kSector;
        }
    }
    if (size < kSector)
        return fail("too small to be a disk image");
    if (sys::ReadAt(fd, sector, kSector, 0) != kSector)
        return fail(sys::Reason());

    std::string why;
    if (FatBytes(sector) != 0)
    {
        if (partition > 1)
            return fail("holds one FAT partition, not a partition table");
        if (!HoldsFat(fd, {0, size}, why))
            return fail("the image " + why);
        image->Use(0, size);
        return image;
    }
    bool table = sector[510] == 0x55 && sector[511] == 0xAA;
    for (int i = 0; i < 4; ++i)
        table = table && (sector[446 + 16 * i] & 0x7F) == 0;
    if (!table)
        return fail("neither a FAT partition nor a disk with a partition table");
    if (partition > 4)
        return fail("a partition table has no partition " + std::to_string(partition));
    if (partition > 0 && sector[446 + 16 * (partition - 1) + 4] == 0)
        return fail("the partition table has no partition " + std::to_string(partition) + "; " +
                    PartitionsListed(sector));

    std::string firstProblem;
    std::string firstWithout;
    for (int number = 1; number <= 4; ++number)
    {
        if (partition > 0 && number != partition)
            continue;
        const unsigned char* entry = sector + 446 + 16 * (number - 1);
        const Extent extent = {Le32(entry + 8) * kSector, Le32(entry + 12) * kSector};
        std::string problem;
        if (!IsFatPartitionType(entry[4]))
            problem = "is not a FAT16 or FAT32 partition";
        else if (extent.offset == 0)
            problem = "starts on the partition table";
        else if (extent.offset + extent.bytes > size)
            problem = "runs past the end of the image";
        else
            HoldsFat(fd, extent, problem);
        if (!problem.empty())
        {
            if (firstProblem.empty() && (partition > 0 || entry[4] != 0))
                firstProblem = "partition " + std::to_string(number) + " " + problem;
            continue;
        }
        image->Use(extent.offset, extent.bytes);
        std::string windows;
        if (partition > 0 || FindWindows(*image, windows, why))
            return image;
        if (!image->LastError().empty())
            return fail(image->LastError().substr(hostPath.size() + 2));
        if (firstWithout.empty())
            firstWithout = "partition " + std::to_string(number) + " holds no Windows 9x: " + why;
    }
    if (!firstWithout.empty())
        return fail(firstWithout);
    if (!firstProblem.empty())
        return fail(firstProblem);
    return fail("no FAT16 or FAT32 partition holds a Windows directory");
}

} // namespace win95
