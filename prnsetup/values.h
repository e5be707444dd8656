// Value writers shared by the record steps; each ignores the write's result.
#pragma once

#include "platform/registry.h"

// REG_SZ: the text and one zero byte.
void SetTextValue(HKEY key, LPCSTR name, LPCSTR text);
// REG_DWORD: four bytes, least significant first.
void SetNumberValue(HKEY key, LPCSTR name, DWORD number);
// REG_BINARY: the bytes as given.
void SetBytesValue(HKEY key, LPCSTR name, const BYTE* bytes, DWORD length);
// REG_SZ default value of the key itself, as RegSetValueA sets it.
void SetDefaultText(HKEY key, LPCSTR text);
