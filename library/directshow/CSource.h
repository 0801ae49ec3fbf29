#pragma once

#include <windows.h>
#include <strmif.h>

#include "../core/CriticalSection.h"

class CSourceStream;

// The filter half of a push source: a filter with output pins only, each pin
// pushing media samples from a streaming thread of its own while the filter
// is paused or running. Pins live inside the filter and share its reference
// count; the filter deletes them. No aggregation: the outer object must be
// null.
class CSource : public IBaseFilter {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetClassID(CLSID* classId) override;

    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME start) override;
    STDMETHODIMP GetState(DWORD timeout, FILTER_STATE* state) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;

    STDMETHODIMP EnumPins(IEnumPins** pins) override;
    STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;

    int pinCount() const { return pins; }
    CSourceStream* pinAt(int index) const { return index >= 0 && index < pins ? pin[index] : nullptr; }
    bool isStopped() const { return state == State_Stopped; }
    IFilterGraph* filterGraph() const { return graph; }

    // Guards the filter state, the pin connections and the media-type and
    // buffer negotiation. Never held while a sample travels downstream.
    CriticalSection stateLock;

protected:
    CSource(const char* objectName, IUnknown* outer, REFCLSID classId);
    virtual ~CSource();
    // Takes ownership of `stream`; false when the filter has no room left.
    bool addPin(CSourceStream* stream);

private:
    static constexpr int kMaxPins = 4;

    LONG references;
    CLSID classId;
    FILTER_STATE state;
    IFilterGraph* graph;
    IReferenceClock* clock;
    WCHAR name[MAX_FILTER_NAME];
    CSourceStream* pin[kMaxPins];
    int pins;
};
