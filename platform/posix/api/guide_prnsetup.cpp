#include "common/switches.h"
#include "platform/posix/api/guide.h"
#include "prnsetup/prnsetup.h"

namespace
{

bool PortCameOutEmpty(LPCSTR commandText)
{
    return NextSwitchLetter(commandText) != nullptr && portName[0] == '\0';
}

} // namespace

const win95::ProgramGuide win95::programGuide = {
    "prnsetup",
    "usage: prnsetup [/D1] [/P\"PORT\"]\n"
    "Installs the Tavrine printer on a Windows 9x machine: the emulated machine,\n"
    "C: drive folder or disk image that WIN95PREFIX names (default ~/.win95).\n"
    "  /D1         make it the default printer\n"
    "  /P\"PORT\"    the printer's port, for example LPT1:\n"
    "The command line is read as on Windows: quote each switch that holds\n"
    "double quotes for the shell, as in\n"
    "  prnsetup /D1 '/P\"LPT1:\"'\n"
    "A line that does not begin with / does nothing. See prnsetup(1).\n",
    'P',
    "port",
    "LPT1:",
    PortCameOutEmpty,
    true,
};
