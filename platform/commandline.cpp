#include "platform/commandline.h"

LPSTR TextAfterProgramName(LPSTR line)
{
    if (*line == '"')
    {
        ++line;
        while (*line != '\0' && *line != '"')
            ++line;
        if (*line == '"')
            ++line;
    }
    else
        while (static_cast<unsigned char>(*line) > ' ')
            ++line;
    while (*line != '\0' && static_cast<unsigned char>(*line) <= ' ')
        ++line;
    return line;
}
