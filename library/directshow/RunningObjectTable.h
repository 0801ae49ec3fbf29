#pragma once

#include <windows.h>

// Registers a filter graph in the running object table under the item name
// "FilterGraph %08x pid %08x", so that an external graph viewer can attach.
// `cookie` receives the registration (0 when it failed).
HRESULT addGraphToRot(IUnknown* graph, DWORD* cookie);
void removeGraphFromRot(DWORD cookie);
