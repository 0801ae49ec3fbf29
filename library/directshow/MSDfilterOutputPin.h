#pragma once

#include "CSourceStream.h"
#include "../core/MediaHeaders.h"
#include "../core/UniqueHandle.h"

class MSDfilter;

// The output pin of the writer's push source. A writer thread hands one
// buffer at a time to the pin's streaming thread (handOver), which copies it
// into the pin's single media sample and pushes that downstream.
class MSDfilterOutputPin : public CSourceStream {
public:
    MSDfilterOutputPin(HRESULT* result, MSDfilter* filter, const VIDEOINFOHEADER* video);
    MSDfilterOutputPin(HRESULT* result, MSDfilter* filter, const WAVEFORMATEX* audio, long samplesPerBuffer);
    ~MSDfilterOutputPin() override;

    HRESULT GetMediaType(AM_MEDIA_TYPE* type) override;

    // Blocks until the streaming thread has copied the data (null: end of
    // stream) into a media sample; true when that failed, or when no
    // streaming thread runs to take it.
    bool handOver(unsigned char* data, long bytes, const REFERENCE_TIME* start, const REFERENCE_TIME* stop, bool key);

    // Bytes of one media sample, as DecideBufferSize asks for them.
    long bufferSize() const;
    void setSamplesPerBuffer(long samples) { samplesPerBuffer = samples; }

protected:
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

private:
    HRESULT videoMediaType(AM_MEDIA_TYPE* type);
    bool fill(IMediaSample* sample);

    EventHandle sampleReady;
    EventHandle sampleTaken;
    const VIDEOINFOHEADER* streamVideoFormat;
    const WAVEFORMATEX* streamAudioFormat;
    unsigned char* pendingData;
    long samplesPerBuffer;
    long pendingBytes;
    REFERENCE_TIME pendingStart;
    REFERENCE_TIME pendingStop;
    bool pendingKey;
    bool fillFailed;
};
