#include "VfWSourceStream.h"

#include <climits>
#include <cstring>
#include <new>

#include "../core/ErrorCodes.h"
#include "../core/TrelixNotification.h"
#include "AviFileCheck.h"

VfWSourceStream::VfWSourceStream()
    : stream(nullptr), fixedSizeSamples(false), start(0)
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

// Plain read mode, so that a file another program still writes (a capture
// in progress) can be read.
int VfWSourceStream::openStream(char* fileName, DWORD type, int streamIndex, AVISTREAMINFOA& info,
                                bool stopsAtLastByte)
{
    using AviFileCheck::Verdict;
    if (!AviFileCheck::isSafe(fileName, stopsAtLastByte ? Verdict::AudioReadPastItsChunks : Verdict::Safe))
        return VfWError::CannotOpenFile;
    if (AVIStreamOpenFromFileA(&stream, fileName, type, streamIndex, OF_READ, nullptr) != AVIERR_OK) {
        stream = nullptr;
        return VfWError::CannotOpenFile;
    }
    if (AVIStreamInfoA(stream, &info, sizeof(info)) != AVIERR_OK || info.dwRate == 0 || info.dwScale == 0
        || info.dwStart > static_cast<DWORD>(LONG_MAX))
        return VfWError::NoStreamInfo;
    fixedSizeSamples = info.dwSampleSize != 0;
    start = static_cast<LONG>(info.dwStart);
    return VfWError::Success;
}

// Wine's AVIFile numbers the chunks of a stream that starts late from 0 and
// refuses positions before its start, so that its last position is
// dwLength - 1, not dwStart + dwLength - 1: only dwLength - dwStart
// positions can be read there.
LONG VfWSourceStream::streamLength()
{
    LONG length = AVIStreamLength(stream);
    if (length < 0 || static_cast<LONGLONG>(start) + length > LONG_MAX)
        return -1;
    // Wine reads no late-starting stream of fixed-size samples (audio): its
    // searches there answer -1 at the start, and its reads assert.
    if (fixedSizeSamples && start > 0 && AVIStreamFindSample(stream, start, FIND_PREV | FIND_ANY) == -1)
        return -1;
    // Asked by a search: a read past Wine's last position aborts the process.
    if (start > 0 && length > 0 && AVIStreamFindSample(stream, start + length - 1, FIND_PREV | FIND_ANY) == -1
        && AVIStreamFindSample(stream, length - 1, FIND_PREV | FIND_ANY) != -1)
        return length > start ? length - start : 0;
    return length;
}

LONG VfWSourceStream::platformPosition(LONG position) const
{
    if (position < 0 || static_cast<LONGLONG>(position) + start > LONG_MAX)
        return -1;
    return position + start;
}

// Wine's AVIFile answers with chunk numbers for streams of fixed-size samples,
// where Windows answers with sample numbers. In such a stream every sample is
// a non-empty key sample, so a position inside the stream is its own answer.
LONG VfWSourceStream::findSample(LONG position, LONG flags)
{
    LONG platform = platformPosition(position);
    if (platform == -1)
        return -1;
    LONG found = AVIStreamFindSample(stream, platform, flags);
    if (found == -1 || found < start)
        return -1;
    if (fixedSizeSamples && found != platform) {
        LONGLONG end = static_cast<LONGLONG>(start) + AVIStreamLength(stream);
        if (platform < end)
            return position;
    }
    return found - start;
}

int VfWSourceStream::readFormat(std::unique_ptr<BYTE[]>& format, LONG& size, LONG minimumSize)
{
    size = 0;
    if (AVIStreamReadFormat(stream, start, nullptr, &size) != AVIERR_OK || size <= 0)
        return VfWError::NoStreamFormat;
    LONG allocated = size < minimumSize ? minimumSize : size;
    format.reset(new (std::nothrow) BYTE[allocated]);
    if (!format)
        return VfWError::OutOfMemory;
    std::memset(format.get(), 0, allocated);
    LONG read = size;
    if (AVIStreamReadFormat(stream, start, format.get(), &read) != AVIERR_OK)
        return VfWError::NoStreamFormat;
    // The platform may report less than it first announced, never more.
    if (read < size)
        size = read;
    return VfWError::Success;
}

// Times are those of the file: sample 0 starts at the stream's start.
double VfWSourceStream::StreamSampleToTime(long& sample)
{
    if (notOpened())
        return -1.0;
    LONG platform = platformPosition(sample);
    LONG time = platform == -1 ? -1 : AVIStreamSampleToTime(stream, platform);
    lastError = time == -1 ? VfWError::CannotConvertTime : VfWError::Success;
    return static_cast<double>(time);
}

long VfWSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (notOpened())
        return -1;
    // Whole milliseconds, halves up; a time outside the 32-bit range cannot be converted.
    if (!(milliseconds > -2147483648.0 && milliseconds < 2147483647.0)) {
        lastError = VfWError::CannotConvertTime;
        return -1;
    }
    auto time = static_cast<LONG>(milliseconds);
    if (milliseconds - time >= 0.5)
        time += 1;
    LONG sample = AVIStreamTimeToSample(stream, time);
    if (sample == -1 || sample < start) {
        lastError = VfWError::CannotConvertTime;
        return -1;
    }
    lastError = VfWError::Success;
    return sample - start;
}

double VfWSourceStream::msDuration()
{
    if (notOpened())
        return -1.0;
    LONG end = streamLength();
    auto duration = static_cast<double>(end == -1 ? -1 : AVIStreamSampleToTime(stream, start + end));
    lastError = duration < 0 ? VfWError::UndefinedLength : VfWError::Success;
    return duration;
}
