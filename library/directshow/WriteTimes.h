#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>
#include <amvideo.h>

// Sizes and media times of the DirectShow writer's writes, in 64-bit
// arithmetic (100-ns units).
namespace WriteTimes {

// Bytes of `count` DIB frames: rows padded to 32 bits, the height taken as
// its absolute value (top-down frames); the compression is not consulted.
inline LONGLONG frameBytes(const BITMAPINFOHEADER& header, LONGLONG count)
{
    LONGLONG row = ((static_cast<LONGLONG>(header.biBitCount) * header.biWidth + 31) & ~31LL) / 8;
    LONGLONG height = header.biHeight < 0 ? -static_cast<LONGLONG>(header.biHeight) : header.biHeight;
    return count * height * row;
}

inline void frameTimes(const VIDEOINFOHEADER& video, long first, long count, REFERENCE_TIME& start,
                       REFERENCE_TIME& stop)
{
    start = static_cast<REFERENCE_TIME>(first) * video.AvgTimePerFrame;
    stop = start + static_cast<REFERENCE_TIME>(count) * video.AvgTimePerFrame;
}

inline LONGLONG sampleBytes(const WAVEFORMATEX& audio, LONGLONG count)
{
    return (static_cast<LONGLONG>(audio.wBitsPerSample) * audio.nChannels * count) >> 3;
}

inline void sampleTimes(const WAVEFORMATEX& audio, long first, long count, REFERENCE_TIME& start,
                        REFERENCE_TIME& stop)
{
    start = static_cast<REFERENCE_TIME>(first) * 10000000 / audio.nSamplesPerSec;
    stop = (static_cast<REFERENCE_TIME>(first) + count) * 10000000 / audio.nSamplesPerSec;
}

} // namespace WriteTimes
