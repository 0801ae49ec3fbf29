#pragma once

#include "AudioOrVideoStream.h"
#include "MediaHeaders.h"
#include "TrelixExport.h"

class TrelixNotification;

// One stream of a media file opened for reading. Frame and sample numbers
// count from the start of the stream; times are milliseconds.
class TRELIX_API SourceStream : public virtual AudioOrVideoStream {
public:
    ~SourceStream() override;
    virtual bool isRawData() = 0;
    virtual void configure(void* parentWindow) = 0;
    virtual double StreamSampleToTime(long& sample) = 0;
    virtual long StreamTimeToSample(double& milliseconds) = 0;
    virtual double msDuration() = 0;
    virtual VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER& info) = 0;

    static SourceStream* open(char* fileName, bool video, bool useDirectShow, int streamIndex,
                              TrelixNotification* n);
    static SourceStream* open(char* fileName, bool video, int streamIndex, TrelixNotification* n);
    // Wait-dialog entry points: the operation runs on a worker thread behind a
    // modal dialog owned by `parentWindow` (options: 1 audio, 2 raw data,
    // 4 DirectShow, 8 automatic backend, 16 start hidden, 32 titled dialog).
    static SourceStream* open(int options, void* parentWindow, char* fileName, int streamIndex, char* title);
    double StreamSampleToTime(int options, void* parentWindow, long& sample, char* title);
    long StreamTimeToSample(int options, void* parentWindow, double& milliseconds, char* title);

    long duration();
    // Attaches `n` (null detaches) and returns the one attached before; neither
    // is destroyed.
    TrelixNotification* notify(TrelixNotification* n);
    TrelixNotification* notify();

protected:
    SourceStream();

    long length;
    TrelixNotification* notification;
};
