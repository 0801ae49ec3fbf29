// Locking strategy of the writer's push source.
// - deliveryLock (this filter): held by whoever calls deliverSample, the
//   writer's caller for data or the writer's graph thread for end of stream,
//   for the whole rendezvous with the pin; so the two never interleave and
//   every delivery after end of stream is a no-op.
// - stateLock (CSource): held by the graph's calls (state changes,
//   connection, GetMediaType, DecideBufferSize); never by the streaming
//   thread, never during a delivery.
// - Events of the pin: the delivering thread fills the pending members and
//   signals sampleReady; the streaming thread, in FillBuffer, waits for
//   sampleReady (or the pin's stop request), copies, and signals sampleTaken,
//   which the delivering thread waits for (or for the pin's idle event, set
//   when the streaming thread has ended).
#include "MSDfilter.h"

#include <new>

const CLSID CLSID_MSDfilter = {0x512bf6ca, 0x3535, 0x4ffe, {0xb4, 0xe2, 0x40, 0xfc, 0x98, 0x96, 0x93, 0xbc}};

MSDfilter::MSDfilter(HRESULT* result, IUnknown* outer, const VIDEOINFOHEADER* video)
    : CSource(nullptr, outer, CLSID_MSDfilter), pin(new (std::nothrow) MSDfilterOutputPin(result, this, video)),
      endOfStream(false)
{
    adoptPin(result);
}

MSDfilter::MSDfilter(HRESULT* result, IUnknown* outer, const WAVEFORMATEX* audio, long samplesPerBuffer)
    : CSource(nullptr, outer, CLSID_MSDfilter),
      pin(new (std::nothrow) MSDfilterOutputPin(result, this, audio, samplesPerBuffer)), endOfStream(false)
{
    adoptPin(result);
}

void MSDfilter::adoptPin(HRESULT* result)
{
    if (!pin)
        *result = E_OUTOFMEMORY;
    else
        addPin(pin);
}

MSDfilter::~MSDfilter() = default;

bool MSDfilter::deliverSample(unsigned char* data, long bytes, const REFERENCE_TIME* start,
                              const REFERENCE_TIME* stop, bool key)
{
    auto lock = deliveryLock.lock();
    if (endOfStream)
        return false;
    bool failed = pin->handOver(data, bytes, start, stop, key);
    endOfStream = data == nullptr;
    return failed;
}
