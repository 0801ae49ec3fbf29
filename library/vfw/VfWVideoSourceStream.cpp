#include "VfWVideoSourceStream.h"

#include <new>

#include "../core/ErrorCodes.h"
#include "../core/RunsUnderWine.h"
#include "VfWFrameLimits.h"

VfWVideoSourceStream::VfWVideoSourceStream()
    : getFrame(nullptr), pixelOffset(sizeof(BITMAPINFOHEADER))
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
    AVISTREAMINFOA info;
    if (int code = openStream(fileName, streamtypeVIDEO, streamIndex, info))
        return code;
    framesPerSecond = static_cast<double>(info.dwRate) / static_cast<double>(info.dwScale);

    std::unique_ptr<BYTE[]> stored;
    LONG storedSize;
    if (int code = readFormat(stored, storedSize, sizeof(BITMAPINFOHEADER)))
        return code;
    if (storedSize < static_cast<LONG>(sizeof(BITMAPINFOHEADER)))
        return VfWError::NoStreamFormat;
    const auto* source = reinterpret_cast<const BITMAPINFOHEADER*>(stored.get());
    if (!acceptableFrameSize(*source))
        return VfWError::NoStreamFormat;

    length = streamLength();
    if (length == -1)
        return VfWError::UndefinedLength;

    // A 24-bit BI_RGB request has no colour table: the stored counts would
    // make the platform read (and place the pixels after) a palette that
    // this header does not carry.
    bitmapHeader = BITMAPINFOHEADER();
    bitmapHeader.biSize = sizeof(BITMAPINFOHEADER);
    bitmapHeader.biWidth = source->biWidth;
    bitmapHeader.biHeight = source->biHeight;
    bitmapHeader.biPlanes = 1;
    bitmapHeader.biBitCount = 24;
    bitmapHeader.biCompression = BI_RGB;
    bitmapHeader.biSizeImage = static_cast<DWORD>(imageBytes(source->biWidth, source->biHeight, 24));
    bitmapHeader.biXPelsPerMeter = source->biXPelsPerMeter;
    bitmapHeader.biYPelsPerMeter = source->biYPelsPerMeter;
    bitmapHeader.biClrUsed = 0;
    bitmapHeader.biClrImportant = 0;

    getFrame = AVIStreamGetFrameOpen(stream, &bitmapHeader);
    if (!getFrame)
        return VfWError::NoDecompressor;
    // Wine hands a stored frame of the requested layout through in its read
    // buffer, which holds the whole stored format (with any bytes after the
    // header) and then the frame.
    bool handedThrough = source->biCompression == BI_RGB && source->biBitCount == 24
        && source->biWidth == bitmapHeader.biWidth && source->biHeight == bitmapHeader.biHeight;
    if (runsUnderWine() && handedThrough)
        pixelOffset = storedSize;
    unusable = false;
    return VfWError::Success;
}

long VfWVideoSourceStream::findFrame(long frame)
{
    if (notOpened())
        return -1;
    if (frame < 0 || frame >= length) {
        lastError = VfWError::OutOfRange;
        return -1;
    }
    LONG found = findSample(frame, FIND_PREV | FIND_ANY);
    if (found != -1) {
        lastError = VfWError::Success;
        return found;
    }
    found = findSample(frame + 1, FIND_NEXT | FIND_ANY);
    lastError = found != -1 ? VfWError::NextFrameReturned : VfWError::NoFrameFound;
    return found;
}

// The platform's bitmap is used only when it is laid out as requested: the
// caller takes the pixels right after a 40-byte header and format() as their size.
bool VfWVideoSourceStream::deliveredAsRequested(const BITMAPINFOHEADER& delivered) const
{
    return delivered.biSize == bitmapHeader.biSize && delivered.biWidth == bitmapHeader.biWidth
        && delivered.biHeight == bitmapHeader.biHeight && delivered.biBitCount == 24
        && delivered.biCompression == BI_RGB && delivered.biClrUsed == 0
        && (delivered.biSizeImage == 0 || delivered.biSizeImage == bitmapHeader.biSizeImage);
}

unsigned char* VfWVideoSourceStream::getFrameBits(long& frame)
{
    frame = findFrame(frame);
    if (frame == -1)
        return nullptr;
    // Wine's frame extraction, when it passes uncompressed frames through,
    // answers a frame after a key frame with the key frame's pixels unless the
    // frame before was the last one asked for. ffmpeg's OpenDML files lose
    // their key flags in Wine's index, which makes every frame such a frame.
    // Asking for the frame before first costs nothing in a sequential read
    // (Wine returns its current frame) and no extra decoding otherwise.
    if (runsUnderWine() && frame > 0 && findSample(frame, FIND_PREV | FIND_KEY) != frame)
        AVIStreamGetFrame(getFrame, platformPosition(frame - 1));
    auto* bitmap = static_cast<BYTE*>(AVIStreamGetFrame(getFrame, platformPosition(frame)));
    if (!bitmap || !deliveredAsRequested(*reinterpret_cast<BITMAPINFOHEADER*>(bitmap))) {
        lastError = VfWError::CannotDecompress;
        return nullptr;
    }
    return bitmap + pixelOffset;
}
