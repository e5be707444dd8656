#include "platform/posix/api/paths.h"

#include "platform/posix/os/sys.h"
#include "platform/posix/os/text.h"

#include <cctype>

namespace win95
{
namespace
{

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

DrivePath Components(const std::string& path)
{
    DrivePath parts;
    std::string part;
    for (char c : path + "\\")
    {
        if (!IsSeparator(c))
        {
            part += c;
            continue;
        }
        if (part == "..")
        {
            if (!parts.empty())
                parts.pop_back();
        }
        else if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
    }
    return parts;
}

// The current directory, which is on Z:; its top where it cannot be told.
std::string CurrentDirectory()
{
    std::string current = sys::CurrentFolder();
    return current.empty() ? "/" : current;
}

} // namespace

bool SplitWindowsPath(const char* windowsPath, char& drive, DrivePath& path)
{
    std::string text = windowsPath;
    drive = 'Z';
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0])))
    {
        drive = AsciiUpper(text[0]);
        if (drive != 'C' && drive != 'Z')
            return false;
        text.erase(0, 2);
    }
    else if (text.empty() || !IsSeparator(text[0]))
        text = CurrentDirectory() + "/" + text;
    path = Components(text);
    return true;
}

} // namespace win95
