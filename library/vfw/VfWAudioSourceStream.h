#pragma once

#include <memory>

#include "../core/AudioSourceStream.h"
#include "VfWSourceStream.h"

#include <msacm.h>

// PCM sample frames of an AVI audio stream. A PCM stream is read as stored;
// any other format is decoded through ACM one source block at a time, with the
// last decoded block kept so that consecutive requests never seek.
class TRELIX_API VfWAudioSourceStream : public AudioSourceStream, public VfWSourceStream {
public:
    using AudioSourceStream::getSamples;
    using VfWSourceStream::StreamSampleToTime;
    using VfWSourceStream::StreamTimeToSample;

    ~VfWAudioSourceStream() override;
    unsigned char* getSamples(long first, long last) override;
    double StreamSampleToTime(long& sample) override;
    long StreamTimeToSample(double& milliseconds) override;
    double msDuration() override;

    static VfWAudioSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);

private:
    VfWAudioSourceStream();
    int openAudio(char* fileName, int streamIndex);
    int openDecoder(const AVISTREAMINFOA& info);
    bool reserveOutput(long frames);
    int seek(long first);
    int produceFrame(BYTE* out);
    int readSourceBlock(DWORD& bytes);
    int decodeNextBlock(bool& decoded);
    int readPcm(long first, long last);
    bool fillPcmCache(long position, long last);
    int readPcmSampleBySample(long position, long first, long last);
    LONG blockToTime(LONG block);
    LONG timeToBlock(LONG milliseconds);
    LONG formatBlockTime(LONGLONG block);

    std::unique_ptr<BYTE[]> sourceFormat;
    std::unique_ptr<BYTE[]> sourceBlock;
    std::unique_ptr<BYTE[]> decodedBuffer;
    std::unique_ptr<BYTE[]> outputBuffer;
    long outputCapacity;
    HACMSTREAM conversion;
    ACMSTREAMHEADER conversionHeader;
    long sourceLength;
    long decodedFirst;
    long decodedLast;
    long nextBlock;
    long position;
    bool started;
    // Wine's AVI reader gives every audio stream the units of its sample rate
    // while counting compressed streams in blocks; block times then come from
    // the format's byte rate, as a writer stores them.
    bool blockTimesFromFormat;
    // PCM read ahead in large pieces: one platform read per sample frame
    // costs far more than the copy.
    std::unique_ptr<BYTE[]> pcmCache;
    long pcmCacheCapacity;
    long pcmCacheFirst;
    long pcmCacheCount;
    // Bytes of the decoded buffer that hold the cached frames.
    DWORD decodedBytes;
};
