#include "platform/posix/api/guide.h"
#include "prnpurge/prnpurge.h"

namespace
{

bool NameCameOutEmpty(LPCSTR)
{
    return driverName[0] == '\0';
}

} // namespace

const win95::ProgramGuide win95::programGuide = {
    "prnpurge",
    "usage: prnpurge /D\"NAME\"\n"
    "Removes every local printer whose driver file path contains NAME (ASCII\n"
    "letters without regard to case) from the Windows 9x machine that\n"
    "WIN95PREFIX names (default ~/.win95), and traces its work on standard error.\n"
    "The command line is read as on Windows: quote the switch for the shell, as in\n"
    "  prnpurge '/D\"TVDRV\"'\n"
    "See prnpurge(1).\n",
    'D',
    "driver name",
    "TVDRV",
    NameCameOutEmpty,
    false,
};
