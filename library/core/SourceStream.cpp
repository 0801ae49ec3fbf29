#include "SourceStream.h"

#include "AudioSourceStream.h"
#include "VideoSourceStream.h"

#include "TrelixNotification.h"
#include "WaitDialog.h"

SourceStream::SourceStream()
    : length(0), notification(nullptr)
{
}

SourceStream::~SourceStream() = default;

long SourceStream::duration()
{
    if (notOpened())
        return -1;
    lastError = 0;
    return length;
}

TrelixNotification* SourceStream::notify(TrelixNotification* n)
{
    TrelixNotification* previous = notification;
    notification = n;
    return previous;
}

TrelixNotification* SourceStream::notify()
{
    return notification;
}

SourceStream* SourceStream::open(char* fileName, bool video, bool useDirectShow, int streamIndex, TrelixNotification* n)
{
    if (video)
        return VideoSourceStream::open(fileName, useDirectShow, streamIndex, n);
    return AudioSourceStream::open(fileName, useDirectShow, streamIndex, n);
}

SourceStream* SourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    if (video)
        return VideoSourceStream::open(fileName, streamIndex, n);
    return AudioSourceStream::open(fileName, streamIndex, n);
}

SourceStream* SourceStream::open(int options, void* parentWindow, char* fileName, int streamIndex, char* title)
{
    WaitRequest r;
    auto parent = static_cast<HWND>(parentWindow);
    prepareWaitRequest(r, options, parent, title, WaitOpen, fileName);
    r.arguments[0] = streamIndex;
    if (!runWaitDialog(r, parent, options))
        return nullptr;
    return static_cast<SourceStream*>(r.result.pointer);
}

// Only the DirectShow raw-data source searches its stream for times.
double SourceStream::StreamSampleToTime(int options, void* parentWindow, long& sample, char* title)
{
    if (notOpened())
        return -1.0;
    if (!usesDirectShow() || !isRawData())
        return StreamSampleToTime(sample);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitSampleToTime, reinterpret_cast<LONG_PTR>(&sample)))
        return -1.0;
    return r.result.time;
}

long SourceStream::StreamTimeToSample(int options, void* parentWindow, double& milliseconds, char* title)
{
    if (notOpened())
        return -1;
    if (!usesDirectShow() || !isRawData())
        return StreamTimeToSample(milliseconds);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitTimeToSample,
                            reinterpret_cast<LONG_PTR>(&milliseconds)))
        return -1;
    return r.result.number;
}
