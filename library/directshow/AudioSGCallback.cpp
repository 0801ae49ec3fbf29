#include "AudioSGCallback.h"

#include <cmath>
#include <cstring>
#include <new>

#include "Rounding.h"

AudioSGCallback::AudioSGCallback(int samplesPerSec, int blockAlign)
    : samplesPerSec(samplesPerSec), blockAlign(blockAlign), extraCapacity(0), firstWanted(0), lastWanted(-1),
      lastCopied(-1), mediaFirst(0), mediaLast(-1), laterDelivered(false), started(false), beforeRange(false),
      minFirstSeen(2147483647), laterFirst(0), contiguous(false)
{
}

AudioSGCallback::~AudioSGCallback() = default;

STDMETHODIMP AudioSGCallback::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    if (riid == IID_ISampleGrabberCB || riid == IID_IUnknown) {
        *object = static_cast<ISampleGrabberCB*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) AudioSGCallback::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) AudioSGCallback::Release()
{
    return 1;
}

STDMETHODIMP AudioSGCallback::BufferCB(double, BYTE*, long)
{
    return S_OK;
}

long AudioSGCallback::sampleAt(double seconds) const
{
    long n = roundedLong(seconds * samplesPerSec);
    return n < 2147483646 ? n : 2147483646;
}

// Splitters round block times (Matroska to milliseconds), so the time of
// each media sample may name a sample up to a millisecond or so away from the
// one that follows the last media sample, leaving holes and overlaps in a
// stream that has none. Within two milliseconds of it the media sample is
// taken to continue the last one, as audio renderers do, and its time tells
// the anchor where the whole run lies. Farther off, a new run begins.
long AudioSGCallback::firstOf(double seconds)
{
    long n = sampleAt(seconds);
    if (!contiguous)
        return n + anchor.total();
    double exact = seconds * samplesPerSec;
    double tolerance = stampTolerance(seconds);
    // Exact times that name the start of the last media sample again: it was
    // a sliver the decoder clipped off, and this one replaces it.
    if (tolerance < 1.0 && std::fabs(exact - mediaFirst) <= tolerance)
        return mediaFirst;
    LONGLONG next = static_cast<LONGLONG>(mediaLast) + 1;
    LONGLONG off = n - next;
    LONGLONG jitter = samplesPerSec / 500 + 1;
    if (off < -jitter || off > jitter) {
        anchor.restart(0, true);
        return n;
    }
    return continueRun(seconds, exact, next, tolerance);
}

long AudioSGCallback::continueRun(double seconds, double exact, LONGLONG next, double tolerance)
{
    if (tolerance < 1.0)
        return static_cast<long>(next + anchor.observe(exact - static_cast<double>(next), tolerance));
    auto stamp = static_cast<LONGLONG>(std::floor(seconds * 1e7 + 0.5));
    auto known = knownStarts.find(stamp);
    if (known != knownStarts.end() && !anchor.frozen())
        next += anchor.pin(static_cast<double>(known->second - next));
    else
        next += anchor.observe(exact - static_cast<double>(next), tolerance);
    if (anchor.frozen())
        knownStarts[stamp] = static_cast<long>(next);
    return static_cast<long>(next);
}

// Half a millisecond for a whole millisecond (a rounded block time), half a
// sample for any other time.
double AudioSGCallback::stampTolerance(double seconds) const
{
    double ms = seconds * 1000.0;
    bool whole = std::fabs(ms - std::floor(ms + 0.5)) < 1e-4;
    return whole ? samplesPerSec / 2000.0 + 0.01 : 0.5;
}

// The copy of the whole last media sample, in a buffer as large as the
// largest media sample seen (none when memory is short).
void AudioSGCallback::keep(const BYTE* data, long length)
{
    if (extraBuffer && extraCapacity < length) {
        delete[] extraBuffer;
        extraBuffer = nullptr;
        extraCapacity = 0;
    }
    if (!extraBuffer) {
        extraBuffer = new (std::nothrow) unsigned char[length > 0 ? length : 1];
        extraCapacity = extraBuffer ? length : 0;
    }
    if (extraBuffer && length > 0)
        std::memcpy(extraBuffer, data, static_cast<size_t>(length));
}

// `from` and `to` lie inside both the media sample and the request, so the
// copy stays inside the sample's data and the prepared range of the result.
void AudioSGCallback::place(const BYTE* data, int from, int to)
{
    if (to < from)
        return;
    size_t source = static_cast<size_t>(static_cast<LONGLONG>(from) - mediaFirst) * blockAlign;
    size_t target = static_cast<size_t>(static_cast<LONGLONG>(from) - firstWanted) * blockAlign;
    size_t bytes = static_cast<size_t>(static_cast<LONGLONG>(to) - from + 1) * blockAlign;
    std::memcpy(buffer + target, data + source, bytes);
    lastCopied = to;
    anchor.freeze();
}

STDMETHODIMP AudioSGCallback::SampleCB(double time, IMediaSample* sample)
{
    seen();
    if (stopRequest || parsing || !sample)
        return S_OK;
    long n = firstOf(time + timeOffset);
    if (n < minFirstSeen)
        minFirstSeen = n;
    // A media sample that begins after the range is held, not copied. When
    // the next request resumes the graph without a seek, it is looked at
    // again for that request instead of being lost.
    while (!started && firstWanted < n) {
        laterFirst = n;
        laterDelivered = true;
        // After a media sample kept since the last seek it leaves a hole in
        // the stream: the data before the range are known.
        if (contiguous)
            beforeRange = true;
        hold();
        if (stopRequest)
            return S_OK;
    }
    BYTE* data = nullptr;
    long length = sample->GetActualDataLength();
    if (FAILED(sample->GetPointer(&data)) || !data || length < 0)
        length = 0;
    keep(data, length);
    // Whole blocks only: a remainder is kept in the copy but never counted.
    LONGLONG last = static_cast<LONGLONG>(n) + length / blockAlign - 1;
    mediaFirst = n;
    mediaLast = last > 2147483646 ? 2147483646 : static_cast<int>(last);
    contiguous = true;
    if (mediaFirst <= lastWanted && buffer && data) {
        int upper = lastWanted < mediaLast ? lastWanted : mediaLast;
        if (mediaFirst < firstWanted) {
            if (mediaLast < firstWanted) {
                beforeRange = true;
            } else {
                started = true;
                place(data, firstWanted, upper);
            }
        } else {
            started = true;
            place(data, mediaFirst, upper);
        }
    }
    if (lastWanted <= mediaLast)
        hold();
    return S_OK;
}
