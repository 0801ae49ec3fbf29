#include "CSourceStream.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <uuids.h>
#include <vfwmsgs.h>

#include "../core/ComPtr.h"
#include "../core/TrelixThread.h"
#include "ComObject.h"
#include "CSource.h"
#include "MediaType.h"

namespace {

HRESULT copyMediaType(const AM_MEDIA_TYPE& from, AM_MEDIA_TYPE* to)
{
    *to = from;
    to->pbFormat = nullptr;
    to->cbFormat = 0;
    if (from.cbFormat != 0 && from.pbFormat) {
        to->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(from.cbFormat));
        if (!to->pbFormat)
            return E_OUTOFMEMORY;
        std::memcpy(to->pbFormat, from.pbFormat, from.cbFormat);
        to->cbFormat = from.cbFormat;
    }
    if (to->pUnk)
        to->pUnk->AddRef();
    return S_OK;
}

// The fields of `wanted` that are set must be those of `offered`.
bool matches(const AM_MEDIA_TYPE& offered, const AM_MEDIA_TYPE& wanted)
{
    return (wanted.majortype == GUID_NULL || wanted.majortype == offered.majortype)
        && (wanted.subtype == GUID_NULL || wanted.subtype == offered.subtype)
        && (wanted.formattype == GUID_NULL || wanted.formattype == offered.formattype);
}

// Enumerates the one media type of a pin; holds a reference to the pin.
class TypeEnumerator final : public ComObject<IEnumMediaTypes> {
public:
    TypeEnumerator(CSourceStream* pin, ULONG position) : pin(pin), position(position)
    {
        pin->AddRef();
    }

    STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override
    {
        if (!types || (count > 1 && !fetched))
            return E_POINTER;
        ULONG got = 0;
        if (count > 0 && position == 0) {
            auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
            if (!type)
                return E_OUTOFMEMORY;
            *type = AM_MEDIA_TYPE();
            if (FAILED(pin->GetMediaType(type))) {
                CoTaskMemFree(type);
            } else {
                types[got++] = type;
                ++position;
            }
        }
        if (fetched)
            *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override
    {
        position += count;
        return position <= 1 ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override
    {
        position = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(IEnumMediaTypes** copy) override
    {
        if (!copy)
            return E_POINTER;
        *copy = new (std::nothrow) TypeEnumerator(pin, position);
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~TypeEnumerator() override { pin->Release(); }

    CSourceStream* pin;
    ULONG position;
};

} // namespace

CSourceStream::CSourceStream(const char*, HRESULT* result, CSource* owner, const WCHAR* pinName)
    : filter(owner), name(), connected(nullptr), input(nullptr), allocator(nullptr), connectionType(),
      thread(nullptr), stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      idleEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr))
{
    std::wcsncpy(name, pinName, 127);
    if (!stopEvent || !idleEvent)
        *result = E_OUTOFMEMORY;
}

CSourceStream::~CSourceStream()
{
    inactive();
    dropConnection();
}

STDMETHODIMP CSourceStream::QueryInterface(REFIID iid, void** object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPin) {
        *object = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CSourceStream::AddRef()
{
    return filter->AddRef();
}

STDMETHODIMP_(ULONG) CSourceStream::Release()
{
    return filter->Release();
}

STDMETHODIMP CSourceStream::Connect(IPin* receivePin, const AM_MEDIA_TYPE* wanted)
{
    if (!receivePin)
        return E_POINTER;
    auto lock = filter->stateLock.lock();
    if (connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!filter->isStopped())
        return VFW_E_NOT_STOPPED;
    AM_MEDIA_TYPE type = AM_MEDIA_TYPE();
    HRESULT hr = GetMediaType(&type);
    if (FAILED(hr))
        return hr;
    if (wanted && !matches(type, *wanted)) {
        FreeMediaType(type);
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    hr = receivePin->ReceiveConnection(this, &type);
    if (FAILED(hr)) {
        FreeMediaType(type);
        return hr;
    }
    connected = receivePin;
    connected->AddRef();
    connectionType = type;
    hr = decideAllocator();
    if (FAILED(hr)) {
        receivePin->Disconnect();
        dropConnection();
    }
    return hr;
}

// The downstream pin's allocator first, then a memory allocator of our own.
HRESULT CSourceStream::decideAllocator()
{
    ComPtr<IMemInputPin> memInput;
    if (FAILED(connected->QueryInterface(IID_IMemInputPin, memInput.putVoid())))
        return VFW_E_NO_TRANSPORT;
    ALLOCATOR_PROPERTIES request = {};
    memInput->GetAllocatorRequirements(&request);
    ComPtr<IMemAllocator> candidate;
    HRESULT hr = memInput->GetAllocator(candidate.put());
    if (SUCCEEDED(hr))
        hr = tryAllocator(memInput.get(), candidate.get(), request);
    if (FAILED(hr)) {
        hr = CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                              candidate.putVoid());
        if (SUCCEEDED(hr))
            hr = tryAllocator(memInput.get(), candidate.get(), request);
    }
    if (FAILED(hr))
        return hr;
    allocator = candidate.detach();
    input = memInput.detach();
    return S_OK;
}

HRESULT CSourceStream::tryAllocator(IMemInputPin* memInput, IMemAllocator* candidate, ALLOCATOR_PROPERTIES request)
{
    HRESULT hr = DecideBufferSize(candidate, &request);
    if (SUCCEEDED(hr))
        hr = memInput->NotifyAllocator(candidate, FALSE);
    return hr;
}

void CSourceStream::dropConnection()
{
    if (allocator) {
        allocator->Release();
        allocator = nullptr;
    }
    if (input) {
        input->Release();
        input = nullptr;
    }
    if (connected) {
        connected->Release();
        connected = nullptr;
    }
    FreeMediaType(connectionType);
    connectionType = AM_MEDIA_TYPE();
}

STDMETHODIMP CSourceStream::ReceiveConnection(IPin*, const AM_MEDIA_TYPE*)
{
    return E_UNEXPECTED;
}

STDMETHODIMP CSourceStream::Disconnect()
{
    auto lock = filter->stateLock.lock();
    if (!filter->isStopped())
        return VFW_E_NOT_STOPPED;
    if (!connected)
        return S_FALSE;
    dropConnection();
    return S_OK;
}

STDMETHODIMP CSourceStream::ConnectedTo(IPin** pin)
{
    if (!pin)
        return E_POINTER;
    auto lock = filter->stateLock.lock();
    *pin = connected;
    if (!connected)
        return VFW_E_NOT_CONNECTED;
    connected->AddRef();
    return S_OK;
}

STDMETHODIMP CSourceStream::ConnectionMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    auto lock = filter->stateLock.lock();
    if (!connected) {
        *type = AM_MEDIA_TYPE();
        return VFW_E_NOT_CONNECTED;
    }
    return copyMediaType(connectionType, type);
}

STDMETHODIMP CSourceStream::QueryPinInfo(PIN_INFO* info)
{
    if (!info)
        return E_POINTER;
    info->pFilter = filter;
    filter->AddRef();
    std::wcsncpy(info->achName, name, MAX_PIN_NAME);
    info->achName[MAX_PIN_NAME - 1] = L'\0';
    info->dir = PINDIR_OUTPUT;
    return S_OK;
}

STDMETHODIMP CSourceStream::QueryDirection(PIN_DIRECTION* direction)
{
    if (!direction)
        return E_POINTER;
    *direction = PINDIR_OUTPUT;
    return S_OK;
}

STDMETHODIMP CSourceStream::QueryId(LPWSTR* id)
{
    if (!id)
        return E_POINTER;
    size_t bytes = (std::wcslen(name) + 1) * sizeof(WCHAR);
    *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*id)
        return E_OUTOFMEMORY;
    std::memcpy(*id, name, bytes);
    return S_OK;
}

STDMETHODIMP CSourceStream::QueryAccept(const AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    AM_MEDIA_TYPE offered = AM_MEDIA_TYPE();
    if (FAILED(GetMediaType(&offered)))
        return S_FALSE;
    bool same = offered.majortype == type->majortype && offered.subtype == type->subtype
        && offered.formattype == type->formattype;
    FreeMediaType(offered);
    return same ? S_OK : S_FALSE;
}

STDMETHODIMP CSourceStream::EnumMediaTypes(IEnumMediaTypes** types)
{
    if (!types)
        return E_POINTER;
    *types = new (std::nothrow) TypeEnumerator(this, 0);
    return *types ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CSourceStream::QueryInternalConnections(IPin**, ULONG*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CSourceStream::EndOfStream()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CSourceStream::BeginFlush()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CSourceStream::EndFlush()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CSourceStream::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double)
{
    return S_OK;
}

// An unconnected pin has nothing to stream and stays idle.
HRESULT CSourceStream::active()
{
    if (!connected || thread)
        return S_OK;
    HRESULT hr = allocator->Commit();
    if (FAILED(hr))
        return hr;
    ResetEvent(stopEvent.get());
    ResetEvent(idleEvent.get());
    thread = CreateThread(nullptr, 0, streamingThread, this, 0, nullptr);
    if (!thread) {
        SetEvent(idleEvent.get());
        allocator->Decommit();
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CSourceStream::inactive()
{
    if (!thread) {
        if (allocator)
            allocator->Decommit();
        return S_OK;
    }
    SetEvent(stopEvent.get());
    allocator->Decommit();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    thread = nullptr;
    return S_OK;
}

DWORD WINAPI CSourceStream::streamingThread(void* pin)
{
    TrelixThread();
    static_cast<CSourceStream*>(pin)->streamingLoop();
    return 0;
}

// One exit path: whatever ends the loop leaves idle() signalled. A sample the
// downstream filter refuses ends the stream too, so that the file it writes
// is still finished.
void CSourceStream::streamingLoop()
{
    for (;;) {
        if (WaitForSingleObject(stopEvent.get(), 0) == WAIT_OBJECT_0)
            break;
        IMediaSample* sample = nullptr;
        if (FAILED(allocator->GetBuffer(&sample, nullptr, nullptr, 0)))
            break;
        HRESULT hr = FillBuffer(sample);
        if (hr == S_OK) {
            hr = input->Receive(sample);
            sample->Release();
            if (hr == S_OK)
                continue;
            connected->EndOfStream();
            break;
        }
        sample->Release();
        if (hr == kSkipSample)
            continue;
        if (hr == S_FALSE)
            connected->EndOfStream();
        break;
    }
    SetEvent(idleEvent.get());
}
