#pragma once

#include "../core/VideoSourceStream.h"
#include "DSSourceStream.h"

class VideoSGCallback;

// Decoded video through a DirectShow graph: the grabber accepts only
// uncompressed 24-bit RGB, and each request either decodes forward from
// where the graph is held or seeks half a frame after the target, stepping
// back geometrically where the stream has holes.
class TRELIX_API DSVideoSourceStream : public VideoSourceStream, public DSSourceStream {
public:
    using SourceStream::StreamSampleToTime;
    using SourceStream::StreamTimeToSample;
    using VideoSourceStream::findFrame;
    using VideoSourceStream::getFrameBits;

    ~DSVideoSourceStream() override;
    long findFrame(long frame) override;
    unsigned char* getFrameBits(long& frame) override;
    void configure(void* parentWindow) override;
    double StreamSampleToTime(long& frame) override;
    long StreamTimeToSample(double& milliseconds) override;

    static DSVideoSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);
    void config(int decodeThreshold, int backtrackFrames, int growthRatio);

    // Seeks made since the stream was opened (for measurements and tests).
    long seekCount() const;

private:
    DSVideoSourceStream();
    int openVideo(char* fileName, int streamIndex);
    int deriveLength(IPin* grabberInput, REFERENCE_TIME timePerFrame);
    int parseFrameRate();
    int findTimeOrigin();
    void findLastFrame();
    bool seekCounted(__int64 position);
    __int64 seekPosition(long frame) const;
    void backtrack(__int64 position);
    long evaluate();

    VideoSGCallback* videoCallback;
    long prevFrame;
    long nextFrame;
    unsigned char* frameBits;
    long backtrackFrames;
    long growthRatio;

    DWORD frameSize;
    long seeks;
};
