#include "platform/files.h"

#include "platform/posix/api/paths.h"
#include "platform/posix/machine/disk_installation.h"
#include "platform/posix/machine/machine.h"
#include "platform/posix/os/sys.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// A text-mode file: reads translate CR LF to LF and stop at Ctrl-Z,
// writes translate LF to CR LF, as the Windows C runtime does.
struct TextFile
{
    int fd = -1;
    bool writing = false;
    bool ended = false;  // end of file or Ctrl-Z reached
    bool failed = false; // a read or write failed
    char buffer[4096];   // raw bytes read ahead, or text waiting to be written
    int used = 0;        // bytes in the buffer
    int next = 0;        // next raw byte to deliver when reading
};

namespace
{

const int endOfText = -1;
const int readError = -2;

bool Refill(TextFile* file)
{
    if (file->ended)
        return false;
    ssize_t got;
    do
        got = win95::sys::Read(file->fd, file->buffer, sizeof file->buffer);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        file->failed = true;
    if (got <= 0)
    {
        file->ended = true;
        return false;
    }
    file->used = static_cast<int>(got);
    file->next = 0;
    return true;
}

int PeekRaw(TextFile* file)
{
    if (file->next == file->used && !Refill(file))
        return file->failed ? readError : endOfText;
    unsigned char c = static_cast<unsigned char>(file->buffer[file->next]);
    if (c == 0x1A)
    {
        file->ended = true;
        file->next = file->used = 0;
        return endOfText;
    }
    return c;
}

// The next character as text mode delivers it.
int NextChar(TextFile* file)
{
    int c = PeekRaw(file);
    if (c < 0)
        return c;
    ++file->next;
    if (c == '\r' && PeekRaw(file) == '\n')
    {
        ++file->next;
        return '\n';
    }
    return file->failed ? readError : c;
}

bool Flush(TextFile* file)
{
    const bool written =
        win95::sys::WriteAll(file->fd, file->buffer, static_cast<size_t>(file->used));
    file->used = 0;
    file->failed = file->failed || !written;
    return written;
}

bool Put(TextFile* file, char c)
{
    if (file->used == static_cast<int>(sizeof file->buffer) && !Flush(file))
        return false;
    file->buffer[file->used++] = c;
    return true;
}

} // namespace

// On a disk image, a file a run writes on C: is created there at the
// commit; a file read is read whole first.
int OpenOnDisk(const std::string& dosPath, bool forWriting)
{
    win95::DiskInstallation& installation = *win95::MachineDisk();
    win95::Fault fault;
    if (forWriting)
        return installation.Disk().Exists(dosPath, fault) ? -1 : installation.Stage(dosPath);
    std::string bytes;
    if (!installation.Disk().ReadFile(dosPath, bytes, fault))
        return -1;
    int fd = memfd_create("read", MFD_CLOEXEC);
    if (fd >= 0 &&
        (pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())))
    {
        close(fd);
        fd = -1;
    }
    return fd;
}

BOOL PathExists(LPCSTR path)
{
    std::string dosPath;
    win95::Fault fault;
    if (win95::LocateOnDisk(path, dosPath))
        return win95::MachineDisk()->Staged(dosPath) ||
               win95::MachineDisk()->Disk().Exists(dosPath, fault);
    win95::HostPlace place;
    return win95::Locate(path, place) &&
           (place.exists || (place.root >= 0 && win95::PlacingOnDriveC(place)));
}

// A new file on C: is one the machine places at its commit. An existing
// one is emptied and written where it is, unless it is a symbolic link.
TextFile* OpenTextFile(LPCSTR path, BOOL forWriting)
{
    win95::HostPlace place;
    std::string dosPath;
    bool onDisk = win95::LocateOnDisk(path, dosPath);
    if (!onDisk && (!win95::Locate(path, place) || (forWriting && place.name.empty())))
        return nullptr;
    std::string host = win95::PlacePath(place);
    int fd;
    if (onDisk)
        fd = OpenOnDisk(dosPath, forWriting != FALSE);
    else if (!forWriting)
        fd = win95::OpenOnDrive(place, host, O_RDONLY);
    else if (place.root < 0)
        fd = win95::sys::Open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    else if (place.exists)
        fd = win95::OpenOnDrive(place, host, O_WRONLY | O_TRUNC | O_NOFOLLOW);
    else
    {
        win95::DiscardOnDriveC(place);
        fd = win95::CreateOnDriveC(place, 0644);
    }
    if (fd < 0)
        return nullptr;
    TextFile* file = new TextFile;
    file->fd = fd;
    file->writing = forWriting != FALSE;
    return file;
}

int ReadTextPiece(TextFile* file, LPSTR buffer, int capacity)
{
    int length = 0;
    while (length < capacity - 1)
    {
        int c = NextChar(file);
        if (c == readError)
            return -1;
        if (c == endOfText)
            break;
        buffer[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (capacity > 0)
        buffer[length] = '\0';
    return length;
}

BOOL WriteText(TextFile* file, LPCSTR text)
{
    for (; *text != '\0'; ++text)
        if ((*text == '\n' && !Put(file, '\r')) || !Put(file, *text))
            return FALSE;
    return !file->failed;
}

BOOL CloseTextFile(TextFile* file)
{
    bool flushed = !file->writing || (Flush(file) && !file->failed);
    bool closed = win95::sys::Close(file->fd) == 0;
    bool ok = flushed && closed;
    delete file;
    return ok ? TRUE : FALSE;
}

BOOL RemoveFile(LPCSTR path)
{
    std::string dosPath;
    if (win95::LocateOnDisk(path, dosPath))
    {
        win95::DiskInstallation& installation = *win95::MachineDisk();
        win95::Fault fault;
        return installation.Discard(dosPath) || installation.Disk().Remove(dosPath, fault) ? TRUE
                                                                                           : FALSE;
    }
    win95::HostPlace place;
    if (!win95::Locate(path, place) || place.name.empty())
        return FALSE;
    if (place.root < 0)
        return win95::sys::Unlink(win95::PlacePath(place).c_str()) == 0 ? TRUE : FALSE;
    if (win95::DiscardOnDriveC(place))
        return TRUE;
    int folder = win95::OpenOnDrive(place, place.folder, O_RDONLY | O_DIRECTORY);
    if (folder < 0)
        return FALSE;
    bool removed = win95::sys::UnlinkAt(folder, place.name.c_str()) == 0;
    win95::sys::Close(folder);
    return removed ? TRUE : FALSE;
}
