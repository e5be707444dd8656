#include "common/switches.h"

#include "platform/system.h"

LPCSTR SkipSpaces(LPCSTR text)
{
    while (*text == ' ')
        text = CharNextA(text);
    return text;
}

LPCSTR NextSwitchLetter(LPCSTR text)
{
    text = SkipSpaces(text);
    if (*text != '/')
        return nullptr;
    while (*text == '/')
        text = CharNextA(text);
    return text;
}

LPCSTR TakeQuotedValue(LPCSTR letter, LPSTR value, int limit, SwitchScan* scan)
{
    LPCSTR start = CharNextA(CharNextA(letter));
    LPCSTR end = start;
    if (scan->quotelessFrom == nullptr || start < scan->quotelessFrom)
        while (*end != '\0' && *end != '"')
            ++end;
    if (*end != '"')
    {
        scan->quotelessFrom = start;
        value[0] = '\0';
        return start;
    }
    int length = 0;
    while (start + length < end && length < limit)
    {
        value[length] = start[length];
        ++length;
    }
    value[length] = '\0';
    return CharNextA(end);
}
