#pragma once

#include "../core/VideoSourceStream.h"
#include "VfWSourceStream.h"

// Decoded video of an AVI stream through AVIFile's frame extraction, which
// finds the installed decompressor.
class TRELIX_API VfWVideoSourceStream : public VideoSourceStream, public VfWSourceStream {
public:
    using VideoSourceStream::findFrame;
    using VideoSourceStream::getFrameBits;

    ~VfWVideoSourceStream() override;
    long findFrame(long frame) override;
    unsigned char* getFrameBits(long& frame) override;

    static VfWVideoSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);

private:
    VfWVideoSourceStream();
    int openVideo(char* fileName, int streamIndex);
    bool deliveredAsRequested(const BITMAPINFOHEADER& delivered) const;

    PGETFRAME getFrame;
    // Where the pixels start in the platform's bitmap: right after its
    // header, or (Wine) after the whole stored format when the frame
    // extraction hands an uncompressed 24-bit frame through as stored.
    LONG pixelOffset;
};
