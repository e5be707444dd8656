#include "prnpurge/prnpurge.h"

namespace
{
char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
} // namespace

BOOL StartsWithIgnoringCase(LPCSTR prefix, LPCSTR text)
{
    for (; *prefix != '\0'; ++prefix, ++text)
    {
        if (*text == '\0' || UpperAscii(*prefix) != UpperAscii(*text))
            return FALSE;
    }
    return TRUE;
}

BOOL DriverPathMatches(LPCSTR name, LPCSTR path)
{
    if (path == nullptr)
        return FALSE;
    for (LPCSTR at = path; *at != '\0'; ++at)
    {
        if (StartsWithIgnoringCase(name, at))
            return TRUE;
    }
    return FALSE;
}
