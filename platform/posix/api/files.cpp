#include "platform/files.h"

#include "platform/posix/api/paths.h"
#include "platform/posix/machine/machine.h"
#include "platform/posix/os/sys.h"

#include <cerrno>

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
    while (got < 0 && win95::sys::FailedFor(EINTR));
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

// The drive a Windows path is on, and the path below its top; null when
// it names no drive of the machine.
win95::Drive* DriveOf(LPCSTR path, win95::DrivePath& below)
{
    char letter = 0;
    return win95::SplitWindowsPath(path, letter, below) ? win95::MachineDrive(letter) : nullptr;
}

} // namespace

BOOL PathExists(LPCSTR path)
{
    win95::DrivePath below;
    win95::Drive* drive = DriveOf(path, below);
    return drive != nullptr && drive->Exists(below) ? TRUE : FALSE;
}

TextFile* OpenTextFile(LPCSTR path, BOOL forWriting)
{
    win95::DrivePath below;
    win95::Drive* drive = DriveOf(path, below);
    if (drive == nullptr)
        return nullptr;
    int fd = forWriting ? drive->OpenForWriting(below) : drive->OpenForReading(below);
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
    win95::DrivePath below;
    win95::Drive* drive = DriveOf(path, below);
    return drive != nullptr && drive->Remove(below) ? TRUE : FALSE;
}
