#pragma once

#include "../core/AudioOrVideoStream.h"
#include "../core/MediaHeaders.h"

// An AVI file with at most one video and one audio stream. Audio written
// through bufferedWriteSample reaches the backend in blocks of at most one
// interleaving period. The two format records stay the caller's: the writer
// keeps the pointers, so they must live as long as the writer.
class TRELIX_API OutputAVIFile : public virtual AudioOrVideoStream {
public:
    ~OutputAVIFile() override;
    virtual void configureAVI(void* parentWindow) = 0;
    virtual bool isAutomaticallyInterleaved() = 0;
    virtual LONGLONG interleavingPeriod() = 0;
    virtual bool setAutomaticInterleaving(bool on) = 0;
    virtual bool canSetCompressor(bool video) = 0;
    virtual bool setCompressor(bool video, void* compressor) = 0;
    virtual bool isCompressorSet(bool video) = 0;
    virtual bool chooseCompressor(void* parentWindow, bool video) = 0;
    virtual void configureCompressor(void* parentWindow, bool video) = 0;
    virtual bool canRun() = 0;
    virtual bool start() = 0;
    virtual bool writeFrame(long first, unsigned char* data, long count, long bytes, bool key) = 0;
    virtual bool writeSample(long first, unsigned char* data, long count, long bytes, bool key) = 0;
    virtual bool close() = 0;

    static OutputAVIFile* create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                 const WAVEFORMATEX* audio, bool compressAudio, bool useDirectShow);
    static OutputAVIFile* create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                 const WAVEFORMATEX* audio, bool compressAudio);

    const VIDEOINFOHEADER* videoFormat();
    const WAVEFORMATEX* audioFormat();
    bool compressedVideo();
    bool compressedAudio();
    long nextFrame_number();
    long nextSample_number();
    long nextSample_number_inBuffer();

    bool acceptableFormats();
    bool bufferedWriteSample(long first, unsigned char* data, long count, long bytes, bool key);
    bool flushAudio();

protected:
    OutputAVIFile();
    void setFormats(const VIDEOINFOHEADER* video, bool compressVideo, const WAVEFORMATEX* audio, bool compressAudio);
    // Compressed audio stored as written: its samples are the format's blocks.
    bool audioCountsBlocks() const;
    // The audio buffer capacity for an interleaving period, in samples (blocks
    // for audioCountsBlocks), at least 1 and never more bytes than a signed
    // 32-bit count holds.
    long audioCapacityFor(LONGLONG period) const;
    // The longest interleaving period whose audio fits that count.
    LONGLONG maximumPeriod() const;

    long nextFrameNumber;
    long nextSampleNumber;
    const VIDEOINFOHEADER* video;
    const WAVEFORMATEX* audio;
    bool videoCompressed;
    bool audioCompressed;
    long audioBufferCapacity;
    unsigned char* audioBuffer;
    long audioBufferFirst;
    long audioBufferLast;
    long audioBufferBytes;
    bool audioBufferKey;

private:
    bool reserveAudioBuffer(long capacityBytes);
    bool appendsToBuffer(long first, long count, long bytes, bool key);
    void startBuffer(long first, unsigned char* data, long count, long bytes, bool key);

    // Bytes allocated for audioBuffer: the capacity may grow after the first
    // allocation when the interleaving period changes.
    long audioBufferSize;
};
