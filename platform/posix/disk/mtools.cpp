#include "platform/posix/disk/mtools.h"

#include "platform/posix/os/descriptor.h"
#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

namespace win95
{
namespace
{

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

const char DiskFull[] = "disk full: the file system that holds the image has no room left; "
                        "make room there and run again";

} // namespace

MtoolsImage::MtoolsImage(int fd, std::string name) : fd_(fd), name_(std::move(name))
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
MtoolsImage::~MtoolsImage()
{
    sys::Close(fd_);
    if (view_)
    {
        Fault ignored;
        view_->Stop(ignored);
    }
    if (imageFd_ >= 0)
        sys::Close(imageFd_);
}

// Reads and writes go from now on to the raw view, open as `raw`, of
// an image in one of QEMU's formats; the image stays open and locked.
void MtoolsImage::ReadThrough(std::unique_ptr<QemuView> view, int raw)
{
    view_ = std::move(view);
    imageFd_ = fd_;
    fd_ = raw;
}

// Chooses the partition at `offset` bytes into the image, `bytes` long.
void MtoolsImage::Use(std::uint64_t offset, std::uint64_t bytes)
{
    drive_ = "/proc/self/fd/" + std::to_string(fd_) + "@@" + std::to_string(offset);
    end_ = offset + bytes;
    listings_.Forget();
}

bool MtoolsImage::Exists(const std::string& dosPath, Fault& fault)
{
    return Look(dosPath, false, fault);
}

bool MtoolsImage::IsFolder(const std::string& dosPath, Fault& fault)
{
    return Look(dosPath, true, fault);
}

bool MtoolsImage::List(const std::string& dosFolder, std::vector<std::string>& names, Fault& fault)
{
    std::string path;
    bool missing = false;
    const Listing* listing = Path(dosFolder, path, fault) ? Entries(path, missing, fault) : nullptr;
    if (listing == nullptr)
        return false;
    names.clear();
    for (const Entry& entry : *listing)
        names.push_back(entry.name);
    return true;
}

bool MtoolsImage::ReadFile(const std::string& dosPath, std::string& bytes, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault))
        return false;
    // mcopy copies every file of a folder named as its source.
    if (IsFolder(dosPath, fault))
        return Fail(fault, dosPath + ": is a folder");
    if (!fault.what.empty())
        return false;
    // mcopy writes the file into a memfd at its own pace, with no pipe
    // to wait on, and it is then read in one piece of known size.
    Descriptor content(sys::MemfdCreate("dos-file"));
    ChildOutput child;
    if (content.Get() < 0)
        return Fail(fault, std::string("cannot hold the file: ") + sys::Reason());
    if (!Tool({"mcopy", path, "-"}, -1, child, fault, content.Get()) || !Succeeded(child, fault))
        return false;
    const Contents read(content.Get());
    if (!read.Read())
        return Fail(fault, dosPath + ": " + sys::Reason());
    bytes.assign(read.Bytes());
    return true;
}

bool MtoolsImage::CreateFile(const std::string& dosPath, const std::string& bytes, Fault& fault)
{
    // The bytes go to mcopy as a whole file, not through a pipe: a run
    // killed while mcopy works then leaves the whole file or none,
    // never one cut short by the end of its input.
    Descriptor content(sys::MemfdCreate("dos-file"));
    if (content.Get() < 0 || !sys::WriteAll(content.Get(), bytes.data(), bytes.size()))
        return Fail(fault, std::string("cannot hold the new file: ") + sys::Reason());
    return CreateFileFrom(dosPath, content.Get(), fault);
}

bool MtoolsImage::CreateFileFrom(const std::string& dosPath, int content, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault) || !Absent(dosPath, fault))
        return false;
    // With the name checked free, a clash can only be a short name,
    // which gets a numeric tail; no clash may ever wait for an answer.
    ChildOutput child;
    written_ = true;
    const bool done =
        Tool({"mcopy", "-D", "s", "-D", "A", "/proc/self/fd/" + std::to_string(content), path},
             content, child, fault) &&
        Succeeded(child, fault);
    listings_.Noted(path, "", NameOf(path), done);
    return done && ReadsBack(dosPath, content, fault);
}

bool MtoolsImage::RoomFor(std::uint64_t bytes, Fault& fault)
{
    fault = Fault{};
    rlimit limit;
    if (sys::FileSizeLimit(&limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < end_)
        return Fail(fault, "file too large: the file size limit (ulimit -f) of " +
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
    if (sys::Fstat(fd_, &info) != 0 || sys::FstatVfs(imageFd_ >= 0 ? imageFd_ : fd_, &host) != 0)
        return Fail(fault, sys::Reason());
    const std::uint64_t stored = static_cast<std::uint64_t>(info.st_blocks) * 512;
    const std::uint64_t room = static_cast<std::uint64_t>(host.f_bavail) * host.f_frsize;
    const bool grows = imageFd_ >= 0 || stored < static_cast<std::uint64_t>(info.st_size);
    if (grows && room < bytes + (std::uint64_t{1} << 20))
        return Fail(fault, DiskFull);
    return true;
}

bool MtoolsImage::Rename(const std::string& from, const std::string& to, Fault& fault)
{
    std::string source, target;
    if (!Path(from, source, fault) || !Path(to, target, fault))
        return false;
    if (!SameName(source.substr(0, source.rfind('/')), target.substr(0, target.rfind('/'))))
        return Fail(fault, to + ": not in the folder of " + from);
    if (!Absent(to, fault))
        return false;
    ChildOutput child;
    written_ = true;
    const bool done = Tool({"mren", "-D", "s", "-D", "A", source, target}, -1, child, fault) &&
                      Succeeded(child, fault);
    listings_.Noted(source, NameOf(source), NameOf(target), done);
    return done;
}

bool MtoolsImage::Remove(const std::string& dosPath, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault))
        return false;
    if (path == "::")
        return Fail(fault, dosPath + ": the root folder cannot be removed");
    const bool folder = IsFolder(dosPath, fault);
    if (!fault.what.empty())
        return false;
    ChildOutput child;
    written_ = true;
    const bool done =
        Tool({folder ? "mrd" : "mdel", path}, -1, child, fault) && Succeeded(child, fault);
    listings_.Noted(path, NameOf(path), "", done);
    return done;
}

bool MtoolsImage::GetAttributes(const std::string& dosPath, unsigned& attributes, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault))
        return false;
    if (path == "::")
    {
        attributes = 0x10;
        return true;
    }
    ChildOutput child;
    if (!Tool({"mattrib", path}, -1, child, fault) || !Succeeded(child, fault))
        return false;
    unsigned bits = 0;
    if (!ParseAttributes(child.out, bits))
        return Fail(fault, dosPath + ": mattrib gave no attributes");
    if (IsFolder(dosPath, fault))
        bits |= 0x10;
    attributes = bits;
    return fault.what.empty();
}

bool MtoolsImage::SetAttributes(const std::string& dosPath, unsigned attributes, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault))
        return false;
    if (path == "::")
        return Fail(fault, dosPath + ": the root folder has no attributes");
    auto flag = [attributes](unsigned bit, const char* letter)
    { return std::string((attributes & bit) != 0 ? "+" : "-") + letter; };
    ChildOutput child;
    written_ = true;
    return Tool({"mattrib", flag(0x20, "a"), flag(0x01, "r"), flag(0x04, "s"), flag(0x02, "h"),
                 path},
                -1, child, fault) &&
           Succeeded(child, fault);
}

// Nothing to flush when nothing was written since the last flush.
bool MtoolsImage::Flush(Fault& fault)
{
    fault = Fault{};
    if (!written_ || sys::Fsync(fd_) == 0)
    {
        written_ = false;
        return true;
    }
    return Fail(fault, std::string("cannot flush: ") + sys::Reason());
}

bool MtoolsImage::Fail(Fault& fault, const std::string& message)
{
    fault = {name_, message};
    return false;
}

// The path as mtools takes it ("::/WINDOWS/SYSTEM.DAT", "::" for the
// root), or false for a name that FAT does not allow or mtools would
// read as a pattern.
bool MtoolsImage::Path(const std::string& dosPath, std::string& path, Fault& fault)
{
    fault = Fault{};
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
            return Fail(fault, dosPath + ": not a name this tool accepts on a FAT drive");
        path += "/" + name;
    }
    return true;
}

// mdir answers for an entry, or with a trailing '/' for a folder only;
// "not found" is an answer, not a failure.
bool MtoolsImage::Probe(const std::string& path, const char* suffix, Fault& fault)
{
    ChildOutput child;
    if (!Tool({"mdir", "-a", "-b", path + suffix}, -1, child, fault))
        return false;
    if (child.status == 0)
        return true;
    if (child.err.find("not found") != std::string::npos)
        return false;
    Succeeded(child, fault);
    return false;
}

// The folder's entries, listed once and then kept up to date by our own
// writes (nothing else writes the image while we hold its lock): each
// look into the image starts an mtools program. Null, with `missing`
// set when the folder does not exist, or with the fault when it could
// not be listed.
const Listing* MtoolsImage::Entries(const std::string& folder, bool& missing, Fault& fault)
{
    if (const Listing* known = listings_.Known(folder))
        return known;
    ChildOutput child;
    if (!Tool({"mdir", "-a", "-b", folder + "/"}, -1, child, fault))
        return nullptr;
    if (!Succeeded(child, fault))
    {
        missing = child.err.find("not found") != std::string::npos;
        return nullptr;
    }
    return &listings_.Keep(folder, ParseListing(child.out));
}

// Exists, or IsFolder when `folder`: from the listing of the folder the
// entry is in, unless only mtools can match the name.
bool MtoolsImage::Look(const std::string& dosPath, bool folder, Fault& fault)
{
    std::string path;
    if (!Path(dosPath, path, fault))
        return false;
    if (path == "::")
        return true;
    const std::string name = NameOf(path);
    if (!ListedSpelling(name))
        return Probe(path, folder ? "/" : "", fault);
    bool missing = false;
    const Listing* listing = Entries(FolderOf(path), missing, fault);
    if (listing == nullptr)
    {
        if (missing)
            fault = Fault{};
        return false;
    }
    const Entry* entry = Find(*listing, name);
    return entry != nullptr && (!folder || entry->folder);
}

// True when no entry has this name; false also when that cannot be told.
bool MtoolsImage::Absent(const std::string& dosPath, Fault& fault)
{
    if (Exists(dosPath, fault))
        return Fail(fault, dosPath + ": already exists");
    return fault.what.empty();
}

// True when the file at dosPath holds what `content` holds: mcopy exits
// with 0 after some failed writes, so that only reading it back tells.
bool MtoolsImage::ReadsBack(const std::string& dosPath, int content, Fault& fault)
{
    std::string back;
    if (!ReadFile(dosPath, back, fault))
        return false;
    const Contents written(content);
    if (!written.Read())
        return Fail(fault, sys::Reason());
    if (back.size() != written.Bytes().size())
        return Fail(fault, dosPath + ": reads back " + std::to_string(back.size()) +
                               " bytes instead of the " + std::to_string(written.Bytes().size()) +
                               " written");
    return back == written.Bytes() ||
           Fail(fault, dosPath + ": does not read back as it was written");
}

// True when the child succeeded: it exited with 0 and wrote nothing to
// its error output, where mtools reports writes that failed even when
// it then exits with 0 ("plain_io: ...", "buffer_flush: ..."). Otherwise
// the fault says why, in the user's words where it is one of the
// common causes, else as the child's first line.
bool MtoolsImage::Succeeded(const ChildOutput& child, Fault& fault)
{
    if (child.status == 0 && child.err.empty())
        return true;
    if (child.err.find("No space left on device") != std::string::npos)
        return Fail(fault, DiskFull);
    if (child.err.find("File too large") != std::string::npos)
        return Fail(fault, "file too large: the file size limit (ulimit -f) stopped a write into "
                           "the image; raise it and run again");
    if (child.err.find("Disk full") != std::string::npos)
        return Fail(fault, "the partition is full; make room on it and run again");
    std::string line = child.err.substr(0, child.err.find('\n'));
    if (line.empty())
        line = WIFSIGNALED(child.status)
                   ? "mtools ended by signal " + std::to_string(WTERMSIG(child.status))
                   : "mtools failed with status " + std::to_string(WEXITSTATUS(child.status));
    return Fail(fault, line);
}

// Runs one mtools program on the partition in use, passing it the open
// file `shared` too if >= 0, and writing its output to `output` if >= 0
// rather than to child.out; false (fault filled) when it could not run.
// In a process group of its own, the child never gets the signals the
// terminal sends the run's group (Ctrl-C, Ctrl-\, hang-up): the run may
// hold those back until its save is done, and mtools, once started,
// then always finishes its writes. It reaches the very image file we
// opened and locked.
bool MtoolsImage::Tool(std::vector<std::string> args, int shared, ChildOutput& child, Fault& fault,
                       int output)
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
        return Fail(fault, "mtools is not installed (there is no " + args[0] +
                               " in PATH); install it (apt install mtools) and run again");
    return Fail(fault, args[0] + ": " + sys::Reason());
}

} // namespace win95
