#pragma once

#include "SourceStream.h"

// Decoded audio: PCM sample frames (blocks of nBlockAlign bytes) by number.
class TRELIX_API AudioSourceStream : public virtual SourceStream {
public:
    ~AudioSourceStream() override;
    bool isRawData() override;
    // Audio has no video description: null, lastError unchanged.
    VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER& info) override;
    // Sample frames first..last (both inclusive) as PCM in format().
    virtual unsigned char* getSamples(long first, long last) = 0;

    static AudioSourceStream* open(char* fileName, bool useDirectShow, int streamIndex,
                                   TrelixNotification* n);
    static AudioSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);

    // Wait-dialog entry point (see SourceStream::open): a dialog only for
    // DirectShow streams.
    unsigned char* getSamples(int options, void* parentWindow, long first, long last, char* title);

    WAVEFORMATEX* format();

protected:
    AudioSourceStream();

    // Always PCM, 18 bytes with cbSize 0.
    WAVEFORMATEX waveFormat;
};
