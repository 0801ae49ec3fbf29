#include "VideoSourceStream.h"

#include "../directshow/DSVideoSourceStream.h"
#include "../vfw/VfWVideoSourceStream.h"
#include "BackendChoice.h"
#include "WaitDialog.h"

#include <cmath>
#include <cstring>

namespace {

// 100-ns units per frame, nearest with halves up. A rate that is not positive
// (possible with a damaged stream header) gives 0 instead of an undefined cast.
REFERENCE_TIME framePeriod(double framesPerSecond)
{
    double period = 10000000.0 / framesPerSecond;
    if (!(framesPerSecond > 0) || !(period < 9.2e18))
        return 0;
    auto whole = static_cast<REFERENCE_TIME>(period);
    if (period - static_cast<double>(whole) >= 0.5)
        whole += 1;
    return whole;
}

DWORD bitRate(const BITMAPINFOHEADER& header, double framesPerSecond)
{
    double rowBits = static_cast<double>((static_cast<LONGLONG>(header.biBitCount) * header.biWidth + 31) & ~31LL);
    double bits = rowBits * header.biHeight * framesPerSecond;
    if (!(bits > 0))
        return 0;
    return bits >= 4294967295.0 ? 0xFFFFFFFF : static_cast<DWORD>(bits);
}

} // namespace

VideoSourceStream::VideoSourceStream()
    : framesPerSecond(0), bitmapHeader()
{
}

VideoSourceStream::~VideoSourceStream() = default;

bool VideoSourceStream::isRawData()
{
    return false;
}

VIDEOINFOHEADER* VideoSourceStream::videoInfo(VIDEOINFOHEADER& info)
{
    if (notOpened())
        return nullptr;
    std::memset(&info, 0, sizeof(info));
    info.bmiHeader = bitmapHeader;
    info.AvgTimePerFrame = framePeriod(framesPerSecond);
    info.dwBitRate = bitRate(bitmapHeader, framesPerSecond);
    lastError = 0;
    return &info;
}

double VideoSourceStream::frameRate()
{
    if (notOpened())
        return -1.0;
    lastError = 0;
    return framesPerSecond;
}

BITMAPINFOHEADER* VideoSourceStream::format()
{
    lastError = unusable ? 1 : 0;
    return &bitmapHeader;
}

VideoSourceStream* VideoSourceStream::open(char* fileName, bool useDirectShow, int streamIndex, TrelixNotification* n)
{
    if (useDirectShow)
        return DSVideoSourceStream::open(fileName, streamIndex, n);
    return VfWVideoSourceStream::open(fileName, streamIndex, n);
}

VideoSourceStream* VideoSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    return openAutomatically<VideoSourceStream>(
        [&] { return open(fileName, false, streamIndex, n); },
        [&] { return open(fileName, true, streamIndex, n); });
}

long VideoSourceStream::findFrame(int options, void* parentWindow, long frame, char* title)
{
    if (notOpened())
        return -1;
    if (!usesDirectShow())
        return findFrame(frame);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitFindFrame, reinterpret_cast<LONG_PTR>(&frame)))
        return -1;
    return r.result.number;
}

unsigned char* VideoSourceStream::getFrameBits(int options, void* parentWindow, long& frame, char* title)
{
    if (notOpened())
        return nullptr;
    if (!usesDirectShow())
        return getFrameBits(frame);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitGetFrameBits, reinterpret_cast<LONG_PTR>(&frame)))
        return nullptr;
    return static_cast<unsigned char*>(r.result.pointer);
}
