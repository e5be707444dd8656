#include "prnsetup/values.h"

#include <cstring>

void SetTextValue(HKEY key, LPCSTR name, LPCSTR text)
{
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
}

void SetNumberValue(HKEY key, LPCSTR name, DWORD number)
{
    BYTE bytes[4] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                     static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
    RegSetValueExA(key, name, 0, REG_DWORD, bytes, sizeof bytes);
}

void SetBytesValue(HKEY key, LPCSTR name, const BYTE* bytes, DWORD length)
{
    RegSetValueExA(key, name, 0, REG_BINARY, bytes, length);
}

void SetDefaultText(HKEY key, LPCSTR text)
{
    RegSetValueA(key, "", REG_SZ, text, static_cast<DWORD>(std::strlen(text) + 1));
}
