#pragma once

#include <memory>
#include <vector>

#include "../core/AudioSourceStream.h"
#include "VfWSourceStream.h"

#include <msacm.h>

namespace AviFileCheck {
struct StoredStream;
}

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
    int openDecoder(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info);
    void setBlockTimes(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info);
    void stopAtLastStoredByte(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info);
    bool reserveOutput(long frames);
    int seek(long first);
    void seekChunk(long first);
    int produceFrame(BYTE* out);
    int readSourceBlock(DWORD& bytes);
    int decodeNextBlock(bool& decoded);
    int readPcm(long first, long last);
    bool fillPcmCache(long position, long last);
    int readPcmSampleBySample(long position, long first, long last);
    LONG endTime();
    LONG blockToTime(LONG block);
    LONG formatBlockTime(LONGLONG block);
    void setBlockFrames(const AVISTREAMINFOA& info);
    LONGLONG blockStartFrame(LONG block) const;
    LONGLONG frameToBlock(LONG frame) const;

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
    // while counting compressed streams in blocks, and a WAVE file has only
    // the format's byte rate; a block then lasts blockTimeScale /
    // blockTimeRate seconds: the stream header's own values, read from the
    // file, the samples per block of a WAVE file's format, or else the
    // format's block size and byte rate.
    bool blockTimesFromFormat;
    DWORD blockTimeScale;
    DWORD blockTimeRate;
    // PCM frames per source block, as a fraction: the samples per block the
    // format declares (ADPCM, GSM), else the block's duration. A seek lands
    // on the exact first frame of a block, so that a read from any frame
    // gives what a read from the start gives there.
    ULONGLONG blockFramesNumerator;
    ULONGLONG blockFramesDenominator;
    // PCM read ahead in large pieces: one platform read per sample frame
    // costs far more than the copy.
    std::unique_ptr<BYTE[]> pcmCache;
    long pcmCacheCapacity;
    long pcmCacheFirst;
    long pcmCacheCount;
    // Bytes of the decoded buffer that hold the cached frames.
    DWORD decodedBytes;
    // Wine reads an audio stream of variable-size chunks (MP3 as ffmpeg
    // writes it) as samples of nBlockAlign bytes, with the header's length
    // in chunks, and aborts on a read past the last chunk: the stream then
    // ends at its last stored byte. -1 where the platform's length holds.
    LONGLONG readableBytes;
    // There, a block of nBlockAlign bytes starts inside a chunk (an MP3
    // frame) and a seek to a block start would set the decoder mid-frame:
    // a seek goes to a chunk, found in the chunks' byte offsets, whose first
    // frame is chunkScale / chunkRate seconds times its number. skipBytes
    // are the bytes of the next block read before that chunk.
    std::vector<ULONGLONG> chunkStarts;
    DWORD chunkScale;
    DWORD chunkRate;
    DWORD skipBytes;
};
