#include <windows.h>

#include "LibraryModule.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        setLibraryModule(instance);
    return TRUE;
}
