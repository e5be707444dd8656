#include "platform/files.h"
#include "platform/system.h"
#include "prnsetup/prnsetup.h"

#include <cstring>

namespace
{
const char sourceName[] = "WIN95.INF";
const int lastCandidate = 998;

// Copies in text mode, piece by piece; FALSE when a read, a write or the
// closing of the copy failed. Both files are closed either way.
BOOL CopyText(TextFile* source, TextFile* target)
{
    char piece[255];
    BOOL copied = TRUE;
    for (;;)
    {
        int got = ReadTextPiece(source, piece, sizeof piece);
        if (got == 0)
            break;
        if (got < 0 || !WriteText(target, piece))
        {
            copied = FALSE;
            break;
        }
    }
    if (!CloseTextFile(target))
        copied = FALSE;
    CloseTextFile(source);
    return copied;
}
} // namespace

// A copy cut short by an error is removed: the system would read a
// truncated OEM<n>.INF as a complete setup file.
int PlaceSetupInf()
{
    char sourcePath[MAX_PATH];
    char targetPath[MAX_PATH];
    if (std::strlen(programDir) + sizeof sourceName > MAX_PATH ||
        std::strlen(infDir) + sizeof "\\OEM998.INF" > MAX_PATH)
        return 0;
    wsprintfA(sourcePath, "%s%s", programDir, sourceName);

    int number = 0;
    for (; number <= lastCandidate; ++number)
    {
        wsprintfA(targetPath, "%s\\OEM%d.INF", infDir, number);
        if (!PathExists(targetPath))
            break;
    }
    if (number > lastCandidate)
        return 0;

    TextFile* source = OpenTextFile(sourcePath, FALSE);
    if (source == nullptr)
        return 0;
    TextFile* target = OpenTextFile(targetPath, TRUE);
    if (target == nullptr)
    {
        CloseTextFile(source);
        return 0;
    }
    if (!CopyText(source, target))
    {
        RemoveFile(targetPath);
        return 0;
    }
    return 1;
}
