#pragma once

#include <memory>

#include "../core/RawDataSourceStream.h"
#include "VfWSourceStream.h"

// The samples of an AVI stream exactly as stored, for direct stream copy,
// described by a DirectShow media type and starting at the first non-empty
// key sample.
class TRELIX_API VfWRawDataSourceStream : public RawDataSourceStream, public VfWSourceStream {
public:
    using RawDataSourceStream::getData;

    ~VfWRawDataSourceStream() override;
    unsigned char* getData(long& sample, long& samplesRead, long& bytesRead, bool& key) override;
    VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER& info) override;

    static VfWRawDataSourceStream* open(char* fileName, bool video, int streamIndex, TrelixNotification* n);

private:
    VfWRawDataSourceStream();
    int openRaw(char* fileName, bool video, int streamIndex);
    int buildVideoType(const BYTE* stored, LONG storedSize, const AVISTREAMINFOA& info);
    int buildAudioType(const BYTE* stored, LONG storedSize);
    long findFirstKeySample();
    LONG nextKeySample(LONG s);
    bool readsData(LONG s);
    long findDataSample(long sample, bool key);

    std::unique_ptr<BYTE[]> readBuffer;
    LONG readBufferSize;
};
