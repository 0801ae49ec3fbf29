#pragma once

#include "../core/AudioSourceStream.h"
#include "DSSourceStream.h"

class AudioSGCallback;

// Decoded PCM audio through a DirectShow graph whose grabber accepts only
// PCM. Each range is answered from the result buffer, from the copy of the
// last media sample, by decoding forward from where the graph is held, or by
// seeking (stepping back when the data begin later than asked). Samples the
// stream does not cover come back as zero bytes.
class TRELIX_API DSAudioSourceStream : public AudioSourceStream, public DSSourceStream {
public:
    using AudioSourceStream::getSamples;

    ~DSAudioSourceStream() override;
    unsigned char* getSamples(long first, long last) override;
    void configure(void* parentWindow) override;
    double StreamSampleToTime(long& sample) override;
    long StreamTimeToSample(double& milliseconds) override;

    static DSAudioSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);
    void config(int decodeThreshold, int backtrackSamples);

    // Seeks made since the stream was opened (for measurements and tests).
    long seekCount() const;

private:
    // What one pass over a request ended with.
    enum class Pass { Done, Retry, Failed };

    DSAudioSourceStream();
    int openAudio(char* fileName, int streamIndex);
    int takeFormat(const AM_MEDIA_TYPE& connection);
    int findTimeOrigin();
    int learnStartShift();
    // Samples of time stamps that place a run: learnt from at open, decoded
    // before the range after a seek.
    long anchorSamples() const;
    void forgetDelivered();
    bool allocateResult(long first, long last);
    unsigned char* silence(long last);
    void zero(unsigned char* at, LONGLONG samples) const;
    Pass fetch(long first, long last);
    bool heldAfterHole() const;
    bool startAt(__int64 position);
    __int64 positionOf(long sample) const;
    bool backtrack(__int64 position);
    Pass finish(long last);
    bool seekCounted(__int64 position);

    AudioSGCallback* audioCallback;
    long resultFirst;
    long resultLast;
    long resultCapacity;
    unsigned char* resultBuffer;
    bool lateStart;
    bool gapRetry;
    long endSample;
    long backtrackSamples;

    long seeks;
    // Shift of the first run of the stream, learnt at open from a second of
    // time stamps, so that a pass from the start lies where runs begun by
    // later seeks find it.
    int startShift;
};
