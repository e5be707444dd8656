#include "platform/debug.h"

#include <cstdio>

void OutputDebugStringA(LPCSTR text)
{
    if (text != nullptr)
        std::fputs(text, stderr);
}
