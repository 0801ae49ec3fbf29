#pragma once

#include "CSource.h"
#include "MSDfilterOutputPin.h"
#include "../core/CriticalSection.h"

// {512BF6CA-3535-4FFE-B4E2-40FC989693BC}: never registered, only created by
// the DirectShow writer.
extern const CLSID CLSID_MSDfilter;

// The writer's push source: one output pin that sends the frames or samples
// the writer hands to deliverSample.
class MSDfilter : public CSource {
public:
    MSDfilter(HRESULT* result, IUnknown* outer, const VIDEOINFOHEADER* video);
    MSDfilter(HRESULT* result, IUnknown* outer, const WAVEFORMATEX* audio, long samplesPerBuffer);
    ~MSDfilter() override;

    // Hands the data (null: end of stream) to the pin; true when placing it
    // in a media sample failed. After end of stream it does nothing.
    bool deliverSample(unsigned char* data, long bytes, const REFERENCE_TIME* start, const REFERENCE_TIME* stop,
                       bool key);

    MSDfilterOutputPin* pin;

private:
    void adoptPin(HRESULT* result);

    CriticalSection deliveryLock;
    bool endOfStream;
};
