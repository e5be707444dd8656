#include "platform/files.h"

#include <cstdio>
#include <io.h>

// A TextFile is the C runtime's stream itself; fopen without "b" opens in
// text mode, which translates line ends and stops reading at a Ctrl-Z.
namespace
{
FILE* StreamOf(TextFile* file)
{
    return reinterpret_cast<FILE*>(file);
}
} // namespace

BOOL PathExists(LPCSTR path)
{
    _finddata_t entry;
    intptr_t search = _findfirst(path, &entry);
    if (search == -1)
        return FALSE;
    _findclose(search);
    return TRUE;
}

TextFile* OpenTextFile(LPCSTR path, BOOL forWriting)
{
    return reinterpret_cast<TextFile*>(std::fopen(path, forWriting ? "w" : "r"));
}

// Reads character by character rather than with fgets, so that the count
// stays right when the piece holds a zero byte.
int ReadTextPiece(TextFile* file, LPSTR buffer, int capacity)
{
    FILE* stream = StreamOf(file);
    int count = 0;
    while (count < capacity - 1)
    {
        int c = std::getc(stream);
        if (c == EOF)
            break;
        buffer[count++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buffer[count] = '\0';
    if (count == 0 && std::ferror(stream))
        return -1;
    return count;
}

BOOL WriteText(TextFile* file, LPCSTR text)
{
    return std::fputs(text, StreamOf(file)) >= 0;
}

BOOL CloseTextFile(TextFile* file)
{
    return std::fclose(StreamOf(file)) == 0;
}

BOOL RemoveFile(LPCSTR path)
{
    return std::remove(path) == 0;
}
