// Files with Windows paths and the C runtime's text mode, the same on both
// platforms: on Windows over the C runtime, on the emulated machine over
// its drives. Reading delivers CR LF as LF, keeps a lone CR, and ends at a
// Ctrl-Z; writing puts CR LF for every LF.
#pragma once

#include "base.h"

struct TextFile;

// True when a directory search finds an entry of exactly this name (file or
// directory, in any letter case); any failure of the search counts as absent.
BOOL PathExists(LPCSTR path);

// Opens for reading, or for writing (created, or emptied if it exists);
// null on failure.
TextFile* OpenTextFile(LPCSTR path, BOOL forWriting);

// Reads the next piece: up to and including the next line feed, or
// capacity - 1 characters, whichever comes first, and a zero byte after it.
// Returns the number of characters read, 0 at the end of the input, and -1
// on a read error.
int ReadTextPiece(TextFile* file, LPSTR buffer, int capacity);

// Writes the text up to its first zero byte; FALSE on a write error.
BOOL WriteText(TextFile* file, LPCSTR text);

// Closes the file; FALSE when buffered output could not be written.
BOOL CloseTextFile(TextFile* file);

// Removes a file; FALSE when it could not be removed.
BOOL RemoveFile(LPCSTR path);
