#include "VfWVideoSourceStream.h"

#include <new>

VfWVideoSourceStream::VfWVideoSourceStream()
    : getFrame(nullptr)
{
}

// The frame extraction goes before the base releases the stream it reads.
VfWVideoSourceStream::~VfWVideoSourceStream()
{
    if (getFrame)
        AVIStreamGetFrameClose(getFrame);
}

VfWVideoSourceStream* VfWVideoSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    return opened(new (std::nothrow) VfWVideoSourceStream(), n,
                  [&](VfWVideoSourceStream& source) { return source.openVideo(fileName, streamIndex); });
}

int VfWVideoSourceStream::openVideo(char* fileName, int streamIndex)
{
    if (int code = openStream(fileName, streamtypeVIDEO, streamIndex))
        return code;
    AVISTREAMINFOA info;
    if (AVIStreamInfoA(stream, &info, sizeof(info)) != AVIERR_OK)
        return 4;
    framesPerSecond = static_cast<double>(info.dwRate) / static_cast<double>(info.dwScale);

    std::unique_ptr<BYTE[]> stored;
    LONG storedSize;
    if (int code = readFormat(stored, storedSize, sizeof(BITMAPINFOHEADER)))
        return code;
    if (storedSize < static_cast<LONG>(sizeof(BITMAPINFOHEADER)))
        return 5;
    const auto* source = reinterpret_cast<const BITMAPINFOHEADER*>(stored.get());

    length = AVIStreamLength(stream);
    if (length == -1)
        return 6;

    bitmapHeader = BITMAPINFOHEADER();
    bitmapHeader.biSize = sizeof(BITMAPINFOHEADER);
    bitmapHeader.biWidth = source->biWidth;
    bitmapHeader.biHeight = source->biHeight;
    bitmapHeader.biPlanes = 1;
    bitmapHeader.biBitCount = 24;
    bitmapHeader.biCompression = BI_RGB;
    bitmapHeader.biSizeImage = ((source->biWidth * 3 + 3) & ~3) * source->biHeight;
    bitmapHeader.biXPelsPerMeter = source->biXPelsPerMeter;
    bitmapHeader.biYPelsPerMeter = source->biYPelsPerMeter;
    bitmapHeader.biClrUsed = source->biClrUsed;
    bitmapHeader.biClrImportant = source->biClrImportant;

    getFrame = AVIStreamGetFrameOpen(stream, &bitmapHeader);
    if (!getFrame)
        return 7;
    unusable = false;
    return 0;
}

long VfWVideoSourceStream::findFrame(long frame)
{
    if (notOpened())
        return -1;
    if (frame < 0 || frame >= length) {
        lastError = 8;
        return -1;
    }
    LONG found = findSample(frame, FIND_PREV | FIND_ANY);
    if (found != -1) {
        lastError = 0;
        return found;
    }
    found = findSample(frame + 1, FIND_NEXT | FIND_ANY);
    lastError = found != -1 ? 9 : 10;
    return found;
}

unsigned char* VfWVideoSourceStream::getFrameBits(long& frame)
{
    frame = findFrame(frame);
    if (frame == -1)
        return nullptr;
    auto* bitmap = static_cast<BYTE*>(AVIStreamGetFrame(getFrame, frame));
    if (!bitmap) {
        lastError = 11;
        return nullptr;
    }
    return bitmap + reinterpret_cast<BITMAPINFOHEADER*>(bitmap)->biSize;
}
