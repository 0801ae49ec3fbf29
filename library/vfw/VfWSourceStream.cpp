#include "VfWSourceStream.h"

#include <cstring>
#include <new>

#include "../core/ErrorCodes.h"
#include "../core/TrelixNotification.h"
#include "AviFileCheck.h"

VfWSourceStream::VfWSourceStream()
    : stream(nullptr), fixedSizeSamples(false)
{
}

VfWSourceStream::~VfWSourceStream()
{
    if (stream)
        AVIStreamRelease(stream);
}

void VfWSourceStream::configure(void*)
{
}

void VfWSourceStream::attach(TrelixNotification* n)
{
    notify(n);
    if (n)
        n->stream = this;
}

int VfWSourceStream::openStream(char* fileName, DWORD type, int streamIndex)
{
    if (!AviFileCheck::isSafe(fileName))
        return VfWError::CannotOpenFile;
    if (AVIStreamOpenFromFileA(&stream, fileName, type, streamIndex, OF_READ | OF_SHARE_DENY_WRITE, nullptr) != AVIERR_OK) {
        stream = nullptr;
        return 3;
    }
    AVISTREAMINFOA info;
    fixedSizeSamples = AVIStreamInfoA(stream, &info, sizeof(info)) == AVIERR_OK && info.dwSampleSize != 0;
    return 0;
}

// Wine's AVIFile answers with chunk numbers for streams of fixed-size samples,
// where Windows answers with sample numbers. In such a stream every sample is
// a non-empty key sample, so a position inside the stream is its own answer.
LONG VfWSourceStream::findSample(LONG position, LONG flags)
{
    LONG found = AVIStreamFindSample(stream, position, flags);
    if (!fixedSizeSamples || found == -1 || found == position)
        return found;
    LONG start = AVIStreamStart(stream);
    return position >= start && position < start + AVIStreamLength(stream) ? position : found;
}

int VfWSourceStream::readFormat(std::unique_ptr<BYTE[]>& format, LONG& size, LONG minimumSize)
{
    size = 0;
    LONG start = AVIStreamStart(stream);
    if (AVIStreamReadFormat(stream, start, nullptr, &size) != AVIERR_OK || size <= 0)
        return 5;
    LONG allocated = size < minimumSize ? minimumSize : size;
    format.reset(new (std::nothrow) BYTE[allocated]);
    if (!format)
        return 2;
    std::memset(format.get(), 0, allocated);
    LONG read = size;
    if (AVIStreamReadFormat(stream, start, format.get(), &read) != AVIERR_OK)
        return 5;
    // The platform may report less than it first announced, never more.
    if (read < size)
        size = read;
    return 0;
}

double VfWSourceStream::StreamSampleToTime(long& sample)
{
    if (notOpened())
        return -1.0;
    LONG time = AVIStreamSampleToTime(stream, sample);
    lastError = time == -1 ? 17 : 0;
    return static_cast<double>(time);
}

long VfWSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (notOpened())
        return -1;
    // Whole milliseconds, halves up; a time outside the 32-bit range cannot be converted.
    if (!(milliseconds > -2147483648.0 && milliseconds < 2147483647.0)) {
        lastError = 17;
        return -1;
    }
    auto time = static_cast<LONG>(milliseconds);
    if (milliseconds - time >= 0.5)
        time += 1;
    LONG sample = AVIStreamTimeToSample(stream, time);
    lastError = sample == -1 ? 17 : 0;
    return sample;
}

double VfWSourceStream::msDuration()
{
    if (notOpened())
        return -1.0;
    auto duration = static_cast<double>(AVIStreamSampleToTime(stream, AVIStreamStart(stream) + AVIStreamLength(stream)));
    lastError = duration < 0 ? 6 : 0;
    return duration;
}
