#include "platform/registry.h"
#include "prnsetup/prnsetup.h"
#include "prnsetup/values.h"

namespace
{
const char classId[] = "{6c1f0e52-3b7a-4d19-a2e4-5f08b93c71d6}";
const char displayName[] = "Tavrine Shell Extension";
const char handlersKey[] = "Printers\\shellex\\ContextMenuHandlers";

void RegisterShellClass()
{
    HKEY parent;
    HKEY classKey;
    HKEY server;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", &parent) != ERROR_SUCCESS)
        return;
    if (RegCreateKeyA(parent, classId, &classKey) != ERROR_SUCCESS)
    {
        RegCloseKey(parent);
        return;
    }
    SetDefaultText(classKey, displayName);
    if (RegCreateKeyA(classKey, "InProcServer32", &server) == ERROR_SUCCESS)
    {
        SetDefaultText(server, "tvshext.dll");
        SetTextValue(server, "ThreadingModel", "Apartment");
        RegCloseKey(server);
    }
    RegCloseKey(classKey);
    RegCloseKey(parent);
}

// The handler key is named after the extension and points to its class.
void RegisterContextMenuHandler()
{
    HKEY parent;
    HKEY handler;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, handlersKey, &parent) != ERROR_SUCCESS)
        return;
    if (RegCreateKeyA(parent, displayName, &handler) == ERROR_SUCCESS)
    {
        SetDefaultText(handler, classId);
        RegCloseKey(handler);
    }
    RegCloseKey(parent);
}
} // namespace

// The class and its handler are registered independently: either half may
// find its parent key missing without stopping the other.
int RegisterShellExtension()
{
    RegisterShellClass();
    RegisterContextMenuHandler();
    return 1;
}
