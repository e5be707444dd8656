#include "platform/system.h"

#include "platform/posix/machine/machine.h"
#include "platform/posix/os/text.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{
thread_local DWORD lastError = 0;

// The byte with an ASCII capital made small, by the machine's one rule for
// case; bytes from 0x80 up stay as they are, whatever the locale.
unsigned char Small(char c)
{
    return static_cast<unsigned char>(win95::LowerWord(static_cast<unsigned char>(c)));
}

// Orders like Windows' word sort for these texts: letters compare without
// case first, and only equal texts compare equal.
int CaseBlindOrder(LPCSTR first, LPCSTR second)
{
    for (; *first != '\0' || *second != '\0'; ++first, ++second)
    {
        int a = Small(*first);
        int b = Small(*second);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}
// The number in decimal, after a '-' when it is negative, as "%d" and
// "%u" write it without flags, width or precision; returns where it ends.
// The remover formats such a line for every printer, so it needs no
// snprintf.
char* Decimal(char* at, long long number)
{
    unsigned long long magnitude = number < 0 ? 0ull - static_cast<unsigned long long>(number)
                                              : static_cast<unsigned long long>(number);
    if (number < 0)
        *at++ = '-';
    char digits[20];
    std::size_t count = 0;
    do
    {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0)
        *at++ = digits[--count];
    return at;
}
} // namespace

DWORD GetLastError()
{
    return lastError;
}

void SetLastError(DWORD errorCode)
{
    lastError = errorCode;
}

// The host path of the running program, as Z:\... ; a path that does not
// fit is cut short and terminated, and the capacity is returned.
DWORD GetModuleFileNameA(HMODULE, LPSTR fileName, DWORD capacity)
{
    char host[4096];
    ssize_t length = readlink("/proc/self/exe", host, sizeof host - 1);
    if (length <= 0 || capacity == 0)
        return 0;
    std::string path = "Z:" + std::string(host, static_cast<std::size_t>(length));
    for (char& c : path)
        if (c == '/')
            c = '\\';
    if (path.size() >= capacity)
    {
        std::memcpy(fileName, path.data(), capacity - 1);
        fileName[capacity - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return capacity;
    }
    std::memcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// The size with the zero byte when the buffer is too small, as on Windows.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT capacity)
{
    std::string windows = win95::MachineWindowsDirectory();
    if (capacity <= windows.size())
        return static_cast<UINT>(windows.size() + 1);
    std::memcpy(buffer, windows.c_str(), windows.size() + 1);
    return static_cast<UINT>(windows.size());
}

LPSTR CharNextA(LPCSTR text)
{
    return const_cast<LPSTR>(*text != '\0' ? text + 1 : text);
}

int lstrcmpA(LPCSTR first, LPCSTR second)
{
    if (first == nullptr || second == nullptr)
        return first == second ? 0 : (first == nullptr ? -1 : 1);
    int order = CaseBlindOrder(first, second);
    if (order != 0)
        return order;
    int exact = std::strcmp(first, second);
    // Where only case differs, lower case sorts first.
    return exact == 0 ? 0 : (exact > 0 ? -1 : 1);
}

namespace
{

// Copies a conversion's flags, width and precision from `at`, just past
// its '%', to `spec`, and passes over the size prefix, since every integer
// argument is 32 bits wide; answers where the conversion's letter stands.
const char* ReadSpec(const char* at, std::string& spec)
{
    while (*at != '\0' && std::strchr("-#0+ ", *at) != nullptr)
        spec += *at++;
    while (std::isdigit(static_cast<unsigned char>(*at)) || *at == '.')
        spec += *at++;
    while (*at == 'l' || *at == 'h')
        ++at;
    return at;
}

// Writes one conversion into `piece`: at most `limit` bytes, and it ends at
// its first zero byte.
void Convert(char* piece, std::size_t limit, const std::string& spec, char letter,
             va_list* arguments)
{
    bool plain = spec.size() == 1;
    std::string format = spec + letter;
    switch (letter)
    {
    case 'd':
    case 'i':
        if (plain)
            *Decimal(piece, va_arg(*arguments, int)) = '\0';
        else
            std::snprintf(piece, limit + 1, format.c_str(), va_arg(*arguments, int));
        break;
    case 'c':
        std::snprintf(piece, limit + 1, format.c_str(), va_arg(*arguments, int));
        break;
    case 'u':
        if (plain)
            *Decimal(piece, va_arg(*arguments, unsigned)) = '\0';
        else
            std::snprintf(piece, limit + 1, format.c_str(), va_arg(*arguments, unsigned));
        break;
    case 'x':
    case 'X':
        std::snprintf(piece, limit + 1, format.c_str(), va_arg(*arguments, unsigned));
        break;
    case 's':
    {
        const char* text = va_arg(*arguments, const char*);
        if (text == nullptr)
            text = "(null)";
        if (plain)
        {
            std::size_t length = strnlen(text, limit);
            std::memcpy(piece, text, length);
            piece[length] = '\0';
        }
        else
            std::snprintf(piece, limit + 1, format.c_str(), text);
        break;
    }
    case '\0':
        piece[0] = '\0';
        break;
    default:
        piece[0] = letter;
        piece[1] = '\0';
        break;
    }
}

} // namespace

int wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    const std::size_t limit = 1024;
    // The last piece may reach past the limit before the text is cut.
    char out[2 * limit + 1];
    std::size_t size = 0;
    va_list arguments;
    va_start(arguments, format);
    for (const char* at = format; *at != '\0' && size < limit; ++at)
    {
        if (*at != '%')
        {
            out[size++] = *at;
            continue;
        }
        std::string spec = "%";
        const char* letter = ReadSpec(at + 1, spec);
        char* piece = out + size;
        Convert(piece, limit, spec, *letter, &arguments);
        size += std::strlen(piece);
        // A '%' at the very end of the format ends it.
        at = *letter != '\0' ? letter : letter - 1;
    }
    va_end(arguments);
    size = std::min(size, limit - 1);
    std::memcpy(buffer, out, size);
    buffer[size] = '\0';
    return static_cast<int>(size);
}
