#include "MSDfilterOutputPin.h"

#include <cstddef>
#include <cstring>
#include <uuids.h>

#include "MSDfilter.h"
#include "MediaType.h"
#include "WriteTimes.h"

namespace {

constexpr size_t kBitmapHeaderOffset = offsetof(VIDEOINFOHEADER, bmiHeader);

bool uncompressed(const BITMAPINFOHEADER& header)
{
    return header.biCompression == BI_RGB || header.biCompression == BI_BITFIELDS;
}

LONGLONG imageBytes(const BITMAPINFOHEADER& header)
{
    return WriteTimes::frameBytes(header, 1);
}

// The RGB subtype of an uncompressed header. 16-bit BI_RGB has no masks: by
// the DIB convention it is RGB555. BI_BITFIELDS tells by its green mask,
// which follows the header.
bool rgbSubtype(const BITMAPINFOHEADER& header, GUID* subtype)
{
    switch (header.biBitCount) {
    case 1: *subtype = MEDIASUBTYPE_RGB1; return true;
    case 4: *subtype = MEDIASUBTYPE_RGB4; return true;
    case 8: *subtype = MEDIASUBTYPE_RGB8; return true;
    case 24: *subtype = MEDIASUBTYPE_RGB24; return true;
    case 32: *subtype = MEDIASUBTYPE_RGB32; return true;
    case 16: break;
    default: return false;
    }
    if (header.biCompression == BI_RGB) {
        *subtype = MEDIASUBTYPE_RGB555;
        return true;
    }
    const DWORD* masks = reinterpret_cast<const DWORD*>(reinterpret_cast<const BYTE*>(&header) + header.biSize);
    if (masks[1] == 0x3E0)
        *subtype = MEDIASUBTYPE_RGB555;
    else if (masks[1] == 0x7E0)
        *subtype = MEDIASUBTYPE_RGB565;
    else
        return false;
    return true;
}

} // namespace

MSDfilterOutputPin::MSDfilterOutputPin(HRESULT* result, MSDfilter* owner, const VIDEOINFOHEADER* video)
    : CSourceStream(nullptr, result, owner, L"Video MSD output pin"),
      sampleReady(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      sampleTaken(CreateEventW(nullptr, TRUE, FALSE, nullptr)), streamVideoFormat(video),
      streamAudioFormat(nullptr), pendingData(nullptr), samplesPerBuffer(0), pendingBytes(0), pendingStart(0),
      pendingStop(0), pendingKey(false), fillFailed(false)
{
    if (!sampleReady || !sampleTaken)
        *result = E_FAIL;
}

MSDfilterOutputPin::MSDfilterOutputPin(HRESULT* result, MSDfilter* owner, const WAVEFORMATEX* audio,
                                       long samples)
    : CSourceStream(nullptr, result, owner, L"Audio MSD output pin"),
      sampleReady(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      sampleTaken(CreateEventW(nullptr, TRUE, FALSE, nullptr)), streamVideoFormat(nullptr),
      streamAudioFormat(audio), pendingData(nullptr), samplesPerBuffer(samples), pendingBytes(0), pendingStart(0),
      pendingStop(0), pendingKey(false), fillFailed(false)
{
    if (!sampleReady || !sampleTaken)
        *result = E_FAIL;
}

// The streaming thread calls FillBuffer: it must end before this part goes.
MSDfilterOutputPin::~MSDfilterOutputPin()
{
    inactive();
}

bool MSDfilterOutputPin::handOver(unsigned char* data, long bytes, const REFERENCE_TIME* start,
                                  const REFERENCE_TIME* stop, bool key)
{
    pendingData = data;
    pendingBytes = bytes;
    pendingStart = start ? *start : 0;
    pendingStop = stop ? *stop : 0;
    pendingKey = key;
    SetEvent(sampleReady.get());
    // sampleTaken first: when the thread took the data and then ended, both
    // are signalled and the data did go.
    HANDLE waits[2] = {sampleTaken.get(), idle()};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    ResetEvent(sampleTaken.get());
    if (woke != WAIT_OBJECT_0) {
        ResetEvent(sampleReady.get());
        return true;
    }
    return fillFailed;
}

// A buffer that does not fit is not delivered at all: a failed write leaves
// nothing in the file.
HRESULT MSDfilterOutputPin::FillBuffer(IMediaSample* sample)
{
    HANDLE waits[2] = {sampleReady.get(), stopRequest()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        return E_ABORT;
    ResetEvent(sampleReady.get());
    fillFailed = false;
    if (!pendingData) {
        SetEvent(sampleTaken.get());
        return S_FALSE;
    }
    fillFailed = !fill(sample);
    sample->SetSyncPoint(pendingKey ? TRUE : FALSE);
    SetEvent(sampleTaken.get());
    return fillFailed ? kSkipSample : S_OK;
}

bool MSDfilterOutputPin::fill(IMediaSample* sample)
{
    BYTE* target = nullptr;
    if (pendingBytes < 0 || sample->GetSize() < pendingBytes || FAILED(sample->GetPointer(&target))
        || FAILED(sample->SetTime(&pendingStart, &pendingStop)) || FAILED(sample->SetActualDataLength(pendingBytes)))
        return false;
    std::memcpy(target, pendingData, pendingBytes);
    return true;
}

HRESULT MSDfilterOutputPin::GetMediaType(AM_MEDIA_TYPE* type)
{
    if (!type)
        return E_POINTER;
    auto lock = filter->stateLock.lock();
    if (streamVideoFormat)
        return videoMediaType(type);
    size_t size = streamAudioFormat->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX)
                                                                   : sizeof(WAVEFORMATEX) + streamAudioFormat->cbSize;
    return CreateAudioMediaType(streamAudioFormat, size, type, TRUE);
}

// The format block holds the VIDEOINFOHEADER up to its bitmap header, and
// the colour masks for BI_BITFIELDS. An uncompressed header without an image
// size gets it: the AVI mux sizes its buffers from it.
HRESULT MSDfilterOutputPin::videoMediaType(AM_MEDIA_TYPE* type)
{
    const BITMAPINFOHEADER& header = streamVideoFormat->bmiHeader;
    AM_MEDIA_TYPE mt = AM_MEDIA_TYPE();
    mt.majortype = MEDIATYPE_Video;
    mt.formattype = FORMAT_VideoInfo;
    if (uncompressed(header)) {
        if (!rgbSubtype(header, &mt.subtype))
            return E_UNEXPECTED;
        mt.bFixedSizeSamples = TRUE;
        mt.bTemporalCompression = FALSE;
        mt.lSampleSize = static_cast<ULONG>(imageBytes(header));
    } else {
        mt.subtype = FourCCSubtype(header.biCompression);
        mt.bFixedSizeSamples = FALSE;
        mt.bTemporalCompression = TRUE;
        mt.lSampleSize = header.biSizeImage;
    }
    size_t masks = header.biCompression == BI_BITFIELDS ? 3 * sizeof(DWORD) : 0;
    size_t size = kBitmapHeaderOffset + header.biSize + masks;
    mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (!mt.pbFormat)
        return E_OUTOFMEMORY;
    mt.cbFormat = static_cast<ULONG>(size);
    std::memcpy(mt.pbFormat, streamVideoFormat, size);
    auto* copy = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
    if (uncompressed(header) && copy->bmiHeader.biSizeImage == 0)
        copy->bmiHeader.biSizeImage = mt.lSampleSize;
    *type = mt;
    return S_OK;
}

long MSDfilterOutputPin::bufferSize() const
{
    if (streamVideoFormat) {
        const BITMAPINFOHEADER& header = streamVideoFormat->bmiHeader;
        return static_cast<long>(uncompressed(header) ? imageBytes(header) : header.biSizeImage);
    }
    return static_cast<long>(static_cast<LONGLONG>(streamAudioFormat->nBlockAlign) * samplesPerBuffer);
}

// One buffer per pin: a write returns only when the graph has room for it.
// An allocator refuses empty buffers, so a size of 0 asks for one byte (and
// every write of more fails).
HRESULT MSDfilterOutputPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request)
{
    auto lock = filter->stateLock.lock();
    request->cBuffers = 1;
    request->cbBuffer = bufferSize() > 0 ? bufferSize() : 1;
    request->cbAlign = 1;
    request->cbPrefix = 0;
    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cBuffers < 1 || actual.cbBuffer < request->cbBuffer)
        return E_FAIL;
    return S_OK;
}
