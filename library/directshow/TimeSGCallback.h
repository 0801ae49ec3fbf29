#pragma once

#include "DirectShowIds.h"

class TrelixNotification;

// Grabber callback of the raw source's time graphs: records the number and
// time of each sample and holds the graph's streaming thread on the sample
// that answers the request (reached) or that has no usable numbering (rough),
// until the caller resumes it.
// Does not count references: the stream owns and deletes it.
class TimeSGCallback : public ISampleGrabberCB {
public:
    TimeSGCallback();
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP SampleCB(double time, IMediaSample* sample) override;
    STDMETHODIMP BufferCB(double time, BYTE* data, long length) override;
    virtual bool reached() = 0;
    virtual ~TimeSGCallback();

    HANDLE foundEvent;
    HANDLE resumeEvent;
    bool held;
    bool abort;
    bool rough;
    bool isVideo;
    __int64 avgTimePerFrame;
    long sampleNumber;
    double sampleTime;
    TrelixNotification* notification;
};
