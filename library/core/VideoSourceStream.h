#pragma once

#include "SourceStream.h"

// Decoded video: every frame as an uncompressed 24-bit BI_RGB bitmap, rows
// padded to a multiple of 4 bytes.
class TRELIX_API VideoSourceStream : public virtual SourceStream {
public:
    ~VideoSourceStream() override;
    bool isRawData() override;
    VIDEOINFOHEADER* videoInfo(VIDEOINFOHEADER& info) override;
    // Number of the frame whose picture shows at `frame`.
    virtual long findFrame(long frame) = 0;
    // Pixel rows of the frame found for `frame`, which is updated to it.
    virtual unsigned char* getFrameBits(long& frame) = 0;

    static VideoSourceStream* open(char* fileName, bool useDirectShow, int streamIndex,
                                   TrelixNotification* n);
    static VideoSourceStream* open(char* fileName, int streamIndex, TrelixNotification* n);

    // Wait-dialog entry points (see SourceStream::open): a dialog only for
    // DirectShow streams.
    long findFrame(int options, void* parentWindow, long frame, char* title);
    unsigned char* getFrameBits(int options, void* parentWindow, long& frame, char* title);

    double frameRate();
    BITMAPINFOHEADER* format();

protected:
    VideoSourceStream();

    double framesPerSecond;
    BITMAPINFOHEADER bitmapHeader;
};
