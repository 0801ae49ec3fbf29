#include "CSource.h"

#include <cwchar>
#include <new>
#include <vfwmsgs.h>

#include "CSourceStream.h"
#include "ComObject.h"

namespace {

// Enumerates the pins of a CSource; holds a reference to the filter.
class PinEnumerator final : public ComObject<IEnumPins> {
public:
    PinEnumerator(CSource* filter, ULONG position) : filter(filter), position(position)
    {
        filter->AddRef();
    }

    STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override
    {
        if (!pins || (count > 1 && !fetched))
            return E_POINTER;
        ULONG got = 0;
        while (got < count && static_cast<int>(position) < filter->pinCount()) {
            pins[got] = filter->pinAt(static_cast<int>(position++));
            pins[got]->AddRef();
            ++got;
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        position += count;
        return static_cast<int>(position) <= filter->pinCount() ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumPins** copy) override
    {
        if (!copy)
            return E_POINTER;
        *copy = new (std::nothrow) PinEnumerator(filter, position);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~PinEnumerator() override { filter->Release(); }

    CSource* filter;
    ULONG position;
};

} // namespace

CSource::CSource(const char*, IUnknown*, REFCLSID id)
    : references(0), classId(id), state(State_Stopped), graph(nullptr), clock(nullptr), name(), pin(), pins(0)
{
}

CSource::~CSource()
{
    while (pins > 0)
        delete pin[--pins];
    if (clock)
        clock->Release();
}

bool CSource::addPin(CSourceStream* stream)
{
    if (pins == kMaxPins)
        return false;
    pin[pins++] = stream;
    return true;
}

STDMETHODIMP CSource::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPersist || iid == IID_IMediaFilter || iid == IID_IBaseFilter) {
        *object = static_cast<IBaseFilter*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CSource::AddRef()
{
    return InterlockedIncrement(&references);
}

STDMETHODIMP_(ULONG) CSource::Release()
{
    ULONG left = InterlockedDecrement(&references);
    if (left == 0)
        delete this;
    return left;
}

STDMETHODIMP CSource::GetClassID(CLSID* id)
{
    if (!id)
        return E_POINTER;
    *id = classId;
    return S_OK;
}

// Pins stop their streaming threads in pin order; a pin's thread never takes
// the state lock, so joining it here cannot deadlock.
STDMETHODIMP CSource::Stop()
{
    auto lock = stateLock.lock();
    HRESULT result = S_OK;
    if (state != State_Stopped) {
        for (int i = 0; i < pins; ++i) {
            HRESULT hr = pin[i]->inactive();
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
    }
    state = State_Stopped;
    return result;
}

// Streaming starts on the way out of the stopped state, as for every push
// source: a paused graph already fills its renderers.
STDMETHODIMP CSource::Pause()
{
    auto lock = stateLock.lock();
    if (state == State_Stopped) {
        for (int i = 0; i < pins; ++i) {
            HRESULT hr = pin[i]->active();
            if (FAILED(hr)) {
                for (int j = 0; j < i; ++j)
                    pin[j]->inactive();
                return hr;
            }
        }
    }
    state = State_Paused;
    return S_OK;
}

STDMETHODIMP CSource::Run(REFERENCE_TIME)
{
    auto lock = stateLock.lock();
    if (state == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    state = State_Running;
    return S_OK;
}

STDMETHODIMP CSource::GetState(DWORD, FILTER_STATE* current)
{
    if (!current)
        return E_POINTER;
    auto lock = stateLock.lock();
    *current = state;
    return S_OK;
}

STDMETHODIMP CSource::SetSyncSource(IReferenceClock* newClock)
{
    auto lock = stateLock.lock();
    if (newClock)
        newClock->AddRef();
    if (clock)
        clock->Release();
    clock = newClock;
    return S_OK;
}

STDMETHODIMP CSource::GetSyncSource(IReferenceClock** current)
{
    if (!current)
        return E_POINTER;
    auto lock = stateLock.lock();
    *current = clock;
    if (clock)
        clock->AddRef();
    return S_OK;
}

STDMETHODIMP CSource::EnumPins(IEnumPins** enumerator)
{
    if (!enumerator)
        return E_POINTER;
    *enumerator = new (std::nothrow) PinEnumerator(this, 0);
    return *enumerator ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CSource::FindPin(LPCWSTR id, IPin** found)
{
    if (!id || !found)
        return E_POINTER;
    for (int i = 0; i < pins; ++i) {
        if (std::wcscmp(pin[i]->pinName(), id) == 0) {
            *found = pin[i];
            pin[i]->AddRef();
            return S_OK;
        }
    }
    *found = nullptr;
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CSource::QueryFilterInfo(FILTER_INFO* info)
{
    if (!info)
        return E_POINTER;
    std::wcsncpy(info->achName, name, MAX_FILTER_NAME);
    info->achName[MAX_FILTER_NAME - 1] = L'\0';
    info->pGraph = graph;
    if (graph)
        graph->AddRef();
    return S_OK;
}

// The graph holds the filter, so the filter keeps no reference to the graph.
STDMETHODIMP CSource::JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName)
{
    auto lock = stateLock.lock();
    graph = newGraph;
    name[0] = L'\0';
    if (newName) {
        std::wcsncpy(name, newName, MAX_FILTER_NAME);
        name[MAX_FILTER_NAME - 1] = L'\0';
    }
    return S_OK;
}

STDMETHODIMP CSource::QueryVendorInfo(LPWSTR*)
{
    return E_NOTIMPL;
}
