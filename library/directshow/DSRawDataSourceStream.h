#pragma once

#include "../core/RawDataSourceStream.h"
#include "DSSourceStream.h"

class DataSGCallback;
class TimeSGCallback;
class TimeSGCallback1;
class TimeSGCallback2;

// Still-compressed media samples of one stream, for direct stream copy,
// through a DirectShow graph whose grabber takes any subtype of the stream's
// major type (so that no decoder is inserted). Requests are answered from the
// samples kept around the last answer, by going on from where the graph is
// held, or by seeking (stepping back geometrically where the stream has
// holes). Two more graphs, built on first use, map sample numbers to times
// and back.
class TRELIX_API DSRawDataSourceStream : public RawDataSourceStream, public DSSourceStream {
public:
    using RawDataSourceStream::getData;
    using SourceStream::StreamSampleToTime;
    using SourceStream::StreamTimeToSample;

    ~DSRawDataSourceStream() override;
    unsigned char* getData(long& sample, long& samplesRead, long& bytesRead, bool& key) override;
    void configure(void* parentWindow) override;
    VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER& info) override;
    double StreamSampleToTime(long& sample) override;
    long StreamTimeToSample(double& milliseconds) override;

    static DSRawDataSourceStream* open(char* fileName, bool video, int streamIndex, TrelixNotification* n);
    void config(int decodeThreshold, int backtrack, int growthRatio);

    // Seeks of the stream graph since the open (for measurements and tests).
    long seekCount() const;

private:
    DSRawDataSourceStream();
    int openRaw(char* fileName, bool video, int streamIndex);
    int takeAudioLength();
    int takeVideoLength();
    bool audioFormat() const;
    const WAVEFORMATEX* waveFormat() const;
    __int64 timePerFrame() const;

    bool createTimeGraph(unsigned long& rotRegister, IMediaSeeking*& seeking, IMediaControl*& control,
                         IMediaEvent*& event, TimeSGCallback* callback);
    long _firstKeySample(bool audio);

    unsigned char* cached(long& sample, long& samplesRead, long& bytesRead, bool& key);
    __int64 seekPosition(long sample) const;
    __int64 audioStep() const;
    bool needsSeek(long sample, bool key) const;
    unsigned char* seekAndRead(long& sample, long& samplesRead, long& bytesRead, bool& key, bool needSeek);
    bool seekCounted(__int64 position, bool toKeyFrame);

    // Time graphs: built on first use, driven synchronously by the caller.
    template <typename Callback>
    bool timeGraph(Callback*& callback, unsigned long& rotRegister, IMediaSeeking*& seeking, IMediaControl*& control,
                   IMediaEvent*& event);
    bool restartTimeGraph(TimeSGCallback& callback, IMediaSeeking* seeking, IMediaControl* control,
                          IMediaEvent* event);
    void waitTimeGraph(TimeSGCallback& callback, IMediaEvent* event);
    void endTimeGraph(unsigned long rotRegister, TimeSGCallback* callback, IMediaSeeking*& seeking,
                      IMediaControl*& control, IMediaEvent*& event);

    DataSGCallback* dataCallback;
    long backtrackSamples;
    long growthRatio;
    long streamIndex;
    unsigned long timeRotRegister, sampleRotRegister;
    IMediaSeeking* timeSeeking;
    IMediaSeeking* sampleSeeking;
    IMediaControl* timeControl;
    IMediaControl* sampleControl;
    IMediaEvent* timeEvent;
    IMediaEvent* sampleEvent;
    TimeSGCallback1* timeCallback;
    TimeSGCallback2* sampleCallback;

    long seeks;
};
