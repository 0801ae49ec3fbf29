#pragma once

#include "DirectShowIds.h"
#include "SGCallback.h"

// Grabber callback of the video source: keeps the last sample before the end
// of the target window in `buffer`, and stops on the first sample at or after
// its start (copied into `extraBuffer` when it lies past the window).
// Does not count references: the stream owns and deletes it.
class VideoSGCallback : public ISampleGrabberCB, public SGCallback {
public:
    explicit VideoSGCallback(DWORD bufferSize);
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP SampleCB(double time, IMediaSample* sample) override;
    STDMETHODIMP BufferCB(double time, BYTE* data, long length) override;
    ~VideoSGCallback() override;

    // Both frame buffers of bufferSize bytes; false when memory is short.
    bool allocate();

    double halfFrame;
    double targetTime;
    double prevTime;
    double nextTime;
    bool havePrev;
    bool haveNext;

private:
    void parse(double time);
    // Copies what fits of the sample into `target`.
    void copy(IMediaSample* sample, unsigned char* target);

    DWORD bufferSize;
};
