#pragma once

#include <memory>

#include "../output/OutputAVIFile.h"
#include "VfWAudioOrVideoStream.h"

#include <vfw.h>
#include <msacm.h>

// AVI writer on AVIFile: video compressed by AVIFile's compressing stream
// (VCM), audio compressed here through ACM. Chunks reach the file in the
// order of the writes; bufferedWriteSample shapes the interleaving with the
// writer's period (0.75 s unless changed in dialog 7).
class TRELIX_API VfWOutputAVIFile : public VfWAudioOrVideoStream, public OutputAVIFile {
public:
    ~VfWOutputAVIFile() override;
    void configureAVI(void* parentWindow) override;
    bool isAutomaticallyInterleaved() override;
    LONGLONG interleavingPeriod() override;
    bool setAutomaticInterleaving(bool on) override;
    bool canSetCompressor(bool video) override;
    // `compressor` is an AVICOMPRESSOPTIONS record; null stores the stream as written.
    bool setCompressor(bool video, void* compressor) override;
    bool isCompressorSet(bool video) override;
    bool chooseCompressor(void* parentWindow, bool video) override;
    void configureCompressor(void* parentWindow, bool video) override;
    bool canRun() override;
    bool start() override;
    bool writeFrame(long first, unsigned char* data, long count, long bytes, bool key) override;
    bool writeSample(long first, unsigned char* data, long count, long bytes, bool key) override;
    bool close() override;

    static VfWOutputAVIFile* create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                    const WAVEFORMATEX* audio, bool compressAudio);

    // The one place where data reaches the file.
    bool write(IAVIStream* stream, long start, unsigned char* data, long count, long bytes, bool key, long& next);

private:
    VfWOutputAVIFile();
    int createFile(const char* fileName);
    int compressorRefusal(bool isVideo);
    bool setVideoCompressor(AVICOMPRESSOPTIONS* options);
    bool setAudioCompressor(AVICOMPRESSOPTIONS* options);
    bool chooseAudioCompressor(HWND parentWindow);
    int configureVideoCodec(HIC codec, HWND parentWindow);
    int makeCompressedVideoStream();
    int measureSourceBlock();
    DWORD acmCapacityNeeded();
    int prepareAudioConversion(DWORD capacity);
    void releaseConversionBuffers();
    bool compressAndWrite(unsigned char* data, long bytes, bool key);
    bool convertAndWrite(DWORD flags, bool key);
    long compressedBlocks(DWORD bytes);
    bool closeGap(long first, bool key);
    unsigned char silenceByte();
    void updateAudioBufferCapacity();
    void finishAudioConversion(bool writeRest);
    void releaseStreams();
    void finishFile();
    void restoreInitialParms();
    void forgetVideoCompressor();
    void inputConsumed(long count, long bytes, LONG& samples, LONG& written);
    bool writeOnce(IAVIStream* stream, long& start, unsigned char*& data, long& count, long& bytes, bool key,
                   bool continues);

    IAVIFile* aviFile;
    IAVIStream* videoStream;
    IAVIStream* audioStream;
    IAVIStream* compressedVideoStream;
    HACMSTREAM acmStream;
    ACMSTREAMHEADER acmHeader;
    DWORD acmSourceCapacity;
    long compressedPosition;
    AVICOMPRESSOPTIONS videoOptions;
    AVICOMPRESSOPTIONS audioOptions;
    bool videoCompressorSet;
    bool audioCompressorSet;
    bool videoOptionsFromDialog;
    bool audioFormatOwned;
    bool conversionStarted;
    void* initialParms;
    DWORD initialParmsSize;
    LONGLONG period;
    // Where the file is, for the audio-length repair after closing.
    std::unique_ptr<char[]> path;
    // initialParms holds the block configureCompressor replaced (which may be null).
    bool parmsReplaced;
    // Source bytes of one compressed block: the most a block-aligned
    // conversion leaves unconverted.
    DWORD acmSourceBlock;
};
