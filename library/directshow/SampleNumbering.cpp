#include "SampleNumbering.h"

#include <mmreg.h>
#include <amvideo.h>
#include <uuids.h>
#include <vfwmsgs.h>

#include "../core/RunsUnderWine.h"

namespace {

// Far from the 64-bit limits, so that sums and products of two do not wrap.
constexpr double kTickLimit = 4.0e18;

LONGLONG roundedHalfUp(double x)
{
    if (!(x > -kTickLimit))
        return static_cast<LONGLONG>(-kTickLimit);
    if (!(x < kTickLimit))
        return static_cast<LONGLONG>(kTickLimit);
    auto k = static_cast<LONGLONG>(x);
    return x - static_cast<double>(k) >= 0.5 ? k + 1 : k;
}

LONGLONG bounded(LONGLONG ticks)
{
    constexpr auto limit = static_cast<LONGLONG>(kTickLimit);
    return ticks > limit ? limit : (ticks < -limit ? -limit : ticks);
}

} // namespace

LONGLONG ticksOf(double seconds)
{
    return roundedHalfUp(seconds * 10000000.0);
}

long clampedLong(LONGLONG value)
{
    if (value > 2147483647)
        return 2147483647;
    if (value < -2147483647)
        return -2147483647;
    return static_cast<long>(value);
}

SampleNumbering SampleNumbering::of(const AM_MEDIA_TYPE& type)
{
    SampleNumbering n = {false, 1, 1};
    if (type.formattype == FORMAT_WaveFormatEx) {
        n.audio = true;
        if (type.pbFormat && type.cbFormat >= sizeof(WAVEFORMAT))
            n.samplesPerSec = reinterpret_cast<const WAVEFORMAT*>(type.pbFormat)->nSamplesPerSec;
    } else if (type.pbFormat && type.cbFormat >= offsetof(VIDEOINFOHEADER, bmiHeader)) {
        // The four video format blocks begin alike.
        n.avgTimePerFrame = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame;
    }
    if (n.samplesPerSec <= 0)
        n.samplesPerSec = 1;
    if (n.avgTimePerFrame <= 0)
        n.avgTimePerFrame = 1;
    return n;
}

LONGLONG SampleNumbering::number(LONGLONG ticks) const
{
    if (audio)
        return roundedHalfUp(static_cast<double>(samplesPerSec) * static_cast<double>(ticks) * 1e-7);
    LONGLONG frames = ticks / avgTimePerFrame;
    return ticks % avgTimePerFrame > avgTimePerFrame / 2 ? frames + 1 : frames;
}

// Wine's splitters set a sample's media times to its time stamps (100-ns
// units from the segment start), not to the sample numbers that Windows'
// splitters give: there they number nothing.
bool mediaTimes(IMediaSample* sample, LONGLONG& start, LONGLONG& end)
{
    if (runsUnderWine())
        return false;
    LONGLONG s = 0, e = 0;
    if (sample->GetMediaTime(&s, &e) != S_OK)
        return false;
    start = s;
    end = e;
    return true;
}

void SampleNumbering::range(IMediaSample* sample, double seconds, LONGLONG offset, LONGLONG& start, LONGLONG& end,
                            bool* timeSet) const
{
    if (timeSet)
        *timeSet = true;
    if (mediaTimes(sample, start, end)) {
        start = bounded(start);
        end = end > start ? bounded(end) : start + 1;
        return;
    }
    REFERENCE_TIME s = 0, e = 0;
    HRESULT hr = sample->GetTime(&s, &e);
    if (hr == VFW_E_SAMPLE_TIME_NOT_SET || FAILED(hr)) {
        if (timeSet)
            *timeSet = false;
        start = number(ticksOf(seconds));
        end = -1;
        return;
    }
    start = number(bounded(s) + offset);
    end = hr == VFW_S_NO_STOP_TIME ? -1 : number(bounded(e) + offset);
    // A stop before the start (a damaged stream) counts like an empty span.
    if (end != -1 && end <= start)
        end = start + 1;
}
