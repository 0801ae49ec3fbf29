#include "TrelixThread.h"

#include <objbase.h>
#include <vfw.h>

#include "ThreadRegistration.h"

namespace ThreadRegistration {
namespace {
DWORD g_slot = TLS_OUT_OF_INDEXES;

void release()
{
    AVIFileExit();
    CoUninitialize();
}
} // namespace

bool processAttach()
{
    g_slot = TlsAlloc();
    return g_slot != TLS_OUT_OF_INDEXES;
}

void processDetach()
{
    threadDetach();
    TlsFree(g_slot);
    g_slot = TLS_OUT_OF_INDEXES;
}

// A registered thread gives back what TrelixThread took.
void threadDetach()
{
    if (!isRegistered())
        return;
    setRegistered(false);
    release();
}

bool isRegistered()
{
    return g_slot != TLS_OUT_OF_INDEXES && TlsGetValue(g_slot) != nullptr;
}

void setRegistered(bool registered)
{
    if (g_slot != TLS_OUT_OF_INDEXES)
        TlsSetValue(g_slot, registered ? reinterpret_cast<void*>(1) : nullptr);
}

} // namespace ThreadRegistration

void TrelixThread()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    AVIFileInit();
    ThreadRegistration::setRegistered(true);
}

void TemporaryApartmentThreading(bool apartment)
{
    bool registered = ThreadRegistration::isRegistered();
    if (registered) {
        AVIFileExit();
        CoUninitialize();
    }
    CoInitializeEx(nullptr, apartment ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED);
    if (registered)
        AVIFileInit();
}
