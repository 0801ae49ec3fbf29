#pragma once

#include <windows.h>
#include <strmif.h>

#include "../core/UniqueHandle.h"

class CSource;

// Locking strategy: connection, disconnection and the allocator negotiation
// run under the filter's state lock (on the graph's thread). The streaming
// thread never takes that lock: it only gets buffers from the committed
// allocator, calls FillBuffer and delivers downstream. active() starts the
// thread after committing the allocator; inactive() signals stopRequest(),
// decommits the allocator (which releases a thread blocked in GetBuffer) and
// joins the thread. idle() is signalled whenever no streaming thread runs.
//
// The output pin of a CSource: one media type (GetMediaType), the buffer size
// decided by the subclass (DecideBufferSize), and a streaming thread that
// calls FillBuffer again and again while the filter is paused or running:
// S_OK delivers the sample, S_FALSE sends end of stream and ends the thread,
// kSkipSample releases the sample undelivered and goes on, a failure ends the
// thread without end of stream (the pin is being stopped).
class CSourceStream : public IPin {
public:
    static constexpr HRESULT kSkipSample = MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x201);

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP Disconnect() override;
    STDMETHODIMP ConnectedTo(IPin** pin) override;
    STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
    STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override;
    STDMETHODIMP QueryId(LPWSTR* id) override;
    STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
    STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
    STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    virtual ~CSourceStream();

    // Called by the filter under its state lock.
    HRESULT active();
    HRESULT inactive();

    const WCHAR* pinName() const { return name; }
    // The pin's one media type; the caller frees it with FreeMediaType.
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE* type) = 0;

protected:
    CSourceStream(const char* objectName, HRESULT* result, CSource* filter, const WCHAR* pinName);

    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;

    HANDLE stopRequest() const { return stopEvent.get(); }
    HANDLE idle() const { return idleEvent.get(); }

    CSource* filter;

private:
    static DWORD WINAPI streamingThread(void* pin);
    void streamingLoop();
    HRESULT decideAllocator();
    HRESULT tryAllocator(IMemInputPin* input, IMemAllocator* candidate, ALLOCATOR_PROPERTIES request);
    void dropConnection();

    WCHAR name[128];
    IPin* connected;
    IMemInputPin* input;
    IMemAllocator* allocator;
    AM_MEDIA_TYPE connectionType;
    HANDLE thread;
    EventHandle stopEvent;
    EventHandle idleEvent;
};
