#include "RunningObjectTable.h"

#include <objbase.h>
#include <cstdio>

#include "../core/ComPtr.h"

HRESULT addGraphToRot(IUnknown* graph, DWORD* cookie)
{
    *cookie = 0;
    ComPtr<IRunningObjectTable> rot;
    HRESULT hr = GetRunningObjectTable(0, rot.put());
    if (FAILED(hr))
        return hr;
    WCHAR name[64];
    swprintf(name, 64, L"FilterGraph %08x pid %08x", (DWORD)(DWORD_PTR)graph, GetCurrentProcessId());
    ComPtr<IMoniker> moniker;
    hr = CreateItemMoniker(L"!", name, moniker.put());
    if (FAILED(hr))
        return hr;
    return rot->Register(0, graph, moniker.get(), cookie);
}

void removeGraphFromRot(DWORD cookie)
{
    ComPtr<IRunningObjectTable> rot;
    if (SUCCEEDED(GetRunningObjectTable(0, rot.put())))
        rot->Revoke(cookie);
}
