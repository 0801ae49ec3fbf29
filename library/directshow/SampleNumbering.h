#pragma once

#include <windows.h>
#include <strmif.h>

// How the raw source numbers the samples of its stream from the times that
// media samples carry: audio (a WAVEFORMATEX format) in sample frames at
// nSamplesPerSec, anything else in frames of AvgTimePerFrame.
struct SampleNumbering {
    static SampleNumbering of(const AM_MEDIA_TYPE& type);

    // Number of the sample at `ticks` (100 ns): audio nearest with halves up,
    // video by whole frames plus one when the remainder exceeds half a frame.
    LONGLONG number(LONGLONG ticks) const;
    // Start and end (exclusive, -1 = unknown) of `sample`: its media times
    // when it has them, else its time stamps moved by `offset` ticks (time
    // stamps count from the start of the segment), else `seconds` (the
    // grabber's time of it as a stream position). `timeSet` tells whether
    // the sample had time stamps.
    void range(IMediaSample* sample, double seconds, LONGLONG offset, LONGLONG& start, LONGLONG& end,
               bool* timeSet = nullptr) const;

    bool audio;
    LONGLONG samplesPerSec;
    LONGLONG avgTimePerFrame;
};

// The media times of `sample`, when it has them.
bool mediaTimes(IMediaSample* sample, LONGLONG& start, LONGLONG& end);
// `seconds` in 100-ns ticks, nearest with halves up, kept far inside the
// 64-bit range whatever time a damaged stream claims.
LONGLONG ticksOf(double seconds);
// A 64-bit count kept inside the range of a 32-bit sample number.
long clampedLong(LONGLONG value);
