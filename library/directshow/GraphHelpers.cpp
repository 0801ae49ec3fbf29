#include "GraphHelpers.h"

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"

namespace {

// Calls `visit` for each pin of `direction` until it returns true; the pin
// handed over keeps its reference only if `visit` takes it.
template <typename Visit>
HRESULT forEachPin(IBaseFilter* filter, PIN_DIRECTION direction, Visit visit)
{
    if (!filter)
        return E_POINTER;
    ComPtr<IEnumPins> pins;
    HRESULT hr = filter->EnumPins(pins.put());
    if (FAILED(hr))
        return hr;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.put(), nullptr) == S_OK) {
        PIN_DIRECTION d;
        if (FAILED(pin->QueryDirection(&d)) || d != direction)
            continue;
        if (visit(pin))
            return S_OK;
    }
    return S_FALSE;
}

bool isConnected(IPin* pin)
{
    ComPtr<IPin> other;
    return SUCCEEDED(pin->ConnectedTo(other.put())) && other;
}

// The filter of the pin connected to `pin`.
HRESULT peerFilter(IPin* pin, IBaseFilter** filter)
{
    *filter = nullptr;
    ComPtr<IPin> peer;
    HRESULT hr = pin->ConnectedTo(peer.put());
    if (FAILED(hr) || !peer)
        return FAILED(hr) ? hr : E_FAIL;
    PIN_INFO info;
    hr = peer->QueryPinInfo(&info);
    if (FAILED(hr))
        return hr;
    if (!info.pFilter)
        return E_FAIL;
    *filter = info.pFilter;
    return S_OK;
}

} // namespace

HRESULT getPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin)
{
    *pin = nullptr;
    HRESULT hr = forEachPin(filter, direction, [&](ComPtr<IPin>& p) {
        *pin = p.detach();
        return true;
    });
    return *pin ? S_OK : (FAILED(hr) ? hr : E_FAIL);
}

HRESULT countPins(IBaseFilter* filter, PIN_DIRECTION direction, int* count)
{
    *count = 0;
    HRESULT hr = forEachPin(filter, direction, [&](ComPtr<IPin>&) {
        ++*count;
        return false;
    });
    return FAILED(hr) ? hr : S_OK;
}

namespace {

// First pin of `direction` whose connection state is `connected`.
HRESULT pinByConnection(IBaseFilter* filter, PIN_DIRECTION direction, bool connected, IPin** pin)
{
    *pin = nullptr;
    HRESULT hr = forEachPin(filter, direction, [&](ComPtr<IPin>& p) {
        if (isConnected(p.get()) != connected)
            return false;
        *pin = p.detach();
        return true;
    });
    return *pin ? S_OK : (FAILED(hr) ? hr : E_FAIL);
}

} // namespace

HRESULT getConnectedPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin)
{
    return pinByConnection(filter, direction, true, pin);
}

HRESULT getFreePin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin)
{
    return pinByConnection(filter, direction, false, pin);
}

HRESULT connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream)
{
    ComPtr<IPin> out, in;
    HRESULT hr = getPin(upstream, PINDIR_OUTPUT, out.put());
    if (FAILED(hr))
        return hr;
    hr = getPin(downstream, PINDIR_INPUT, in.put());
    if (FAILED(hr))
        return hr;
    return graph->Connect(out.get(), in.get());
}

// Every successful connection before the n-th is undone again, so that the
// count goes on over the source's remaining outputs.
HRESULT connectNthOutput(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* target, int n)
{
    bool failed = false;
    bool done = false;
    forEachPin(source, PINDIR_OUTPUT, [&](ComPtr<IPin>& out) {
        forEachPin(target, PINDIR_INPUT, [&](ComPtr<IPin>& in) {
            if (FAILED(graph->Connect(out.get(), in.get())))
                return false;
            if (n == 0) {
                done = true;
                return true;
            }
            if (FAILED(in->Disconnect()) || FAILED(out->Disconnect())) {
                failed = true;
                return true;
            }
            --n;
            return false;
        });
        return done || failed;
    });
    return done ? S_OK : E_FAIL;
}

bool connectStream(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber, int streamIndex, int* errorCode)
{
    int outputs = 0;
    if (FAILED(countPins(source, PINDIR_OUTPUT, &outputs))) {
        *errorCode = DSError::CannotEnumeratePins;
        return false;
    }
    if (streamIndex == 0 || outputs > 1) {
        bool ok = SUCCEEDED(connectNthOutput(graph, source, grabber, streamIndex));
        *errorCode = ok ? DSError::Success : DSError::CannotConnect;
        return ok;
    }
    if (FAILED(connectNthOutput(graph, source, grabber, 0))) {
        *errorCode = DSError::CannotConnect;
        return false;
    }
    ComPtr<IPin> sourceOut, splitterOut, grabberIn;
    ComPtr<IBaseFilter> splitter;
    if (FAILED(getPin(source, PINDIR_OUTPUT, sourceOut.put()))) {
        *errorCode = DSError::NoOutputPin;
        return false;
    }
    if (FAILED(peerFilter(sourceOut.get(), splitter.put()))) {
        *errorCode = DSError::NoSplitter;
        return false;
    }
    if (FAILED(getConnectedPin(splitter.get(), PINDIR_OUTPUT, splitterOut.put()))) {
        *errorCode = DSError::NoOutputPin;
        return false;
    }
    if (FAILED(splitterOut->Disconnect())) {
        *errorCode = DSError::CannotDisconnectSplitter;
        return false;
    }
    if (FAILED(getConnectedPin(grabber, PINDIR_INPUT, grabberIn.put()))) {
        *errorCode = DSError::GrabberNotConnected;
        return false;
    }
    if (FAILED(grabberIn->Disconnect())) {
        *errorCode = DSError::CannotDisconnectGrabber;
        return false;
    }
    bool ok = SUCCEEDED(connectNthOutput(graph, splitter.get(), grabber, streamIndex));
    *errorCode = ok ? DSError::Success : DSError::CannotConnect;
    return ok;
}

IPin* upstreamInputPin(IPin* input)
{
    if (!input)
        return nullptr;
    ComPtr<IBaseFilter> filter;
    if (FAILED(peerFilter(input, filter.put())))
        return nullptr;
    IPin* pin = nullptr;
    getConnectedPin(filter.get(), PINDIR_INPUT, &pin);
    return pin;
}

HRESULT removeReferenceClock(IGraphBuilder* graph)
{
    ComPtr<IMediaFilter> filter;
    HRESULT hr = graph->QueryInterface(IID_IMediaFilter, filter.putVoid());
    return FAILED(hr) ? hr : filter->SetSyncSource(nullptr);
}

bool takeGraphEvent(IMediaEvent* events, long* code)
{
    LONG_PTR first, second;
    if (FAILED(events->GetEvent(code, &first, &second, 0)))
        return false;
    events->FreeEventParams(*code, first, second);
    return true;
}
