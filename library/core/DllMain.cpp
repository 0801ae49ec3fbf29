#include <windows.h>

#include "LibraryModule.h"
#include "ThreadRegistration.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        setLibraryModule(instance);
        return ThreadRegistration::processAttach();
    case DLL_THREAD_DETACH:
        ThreadRegistration::threadDetach();
        break;
    case DLL_PROCESS_DETACH:
        ThreadRegistration::processDetach();
        break;
    }
    return TRUE;
}
