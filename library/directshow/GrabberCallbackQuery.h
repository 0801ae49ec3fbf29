#pragma once

#include "DirectShowIds.h"

// QueryInterface of the library's grabber callbacks, which do not count
// references: ISampleGrabberCB and IUnknown answer with the object itself.
inline HRESULT queryGrabberCallback(ISampleGrabberCB* self, REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    if (riid == IID_ISampleGrabberCB || riid == IID_IUnknown) {
        *object = self;
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}
