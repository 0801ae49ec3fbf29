#include "DSAudioSourceStream.h"

#include <cstring>
#include <new>

#include "../core/ErrorCodes.h"
#include "../core/TrelixNotification.h"
#include "AudioSGCallback.h"
#include "MediaType.h"
#include "SourceConfigDialog.h"
#include "Rounding.h"
#include "RunningObjectTable.h"

namespace {

constexpr size_t kFormatSize = 18;
// Lossy decoders restart from an empty state after a seek (bit reservoir,
// overlapping transforms, filter banks), so their first output differs from
// what a pass in order gives. Seeking at least this many samples early lets
// them settle before the range.
constexpr long kPrerollSamples = 8192;
// Seconds of time stamps that place a run of rounded block times to the
// sample (about forty media samples of 1 024).
constexpr long kAnchorSeconds = 1;

} // namespace

DSAudioSourceStream::DSAudioSourceStream()
    : audioCallback(nullptr), resultFirst(0), resultLast(-1), resultCapacity(0), resultBuffer(nullptr),
      lateStart(false), gapRetry(false), endSample(2147483647), backtrackSamples(1024), seeks(0), startShift(0)
{
}

DSAudioSourceStream::~DSAudioSourceStream()
{
    if (rotRegister)
        removeGraphFromRot(rotRegister);
    delete[] resultBuffer;
}

DSAudioSourceStream* DSAudioSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    auto* source = new (std::nothrow) DSAudioSourceStream();
    if (!source)
        return nullptr;
    source->attach(n);
    source->lastError = source->openAudio(fileName, streamIndex);
    return source;
}

int DSAudioSourceStream::openAudio(char* fileName, int streamIndex)
{
    GraphBuild build;
    if (int code = buildGraph(fileName, streamIndex, MEDIATYPE_Audio, &MEDIASUBTYPE_PCM, build))
        return code;
    if (int code = openSeeking())
        return code;
    if (int code = readDuration())
        return code;
    if (int code = takeFormat(build.connection))
        return code;
    length = roundedLong(waveFormat.nSamplesPerSec * (static_cast<double>(mediaDuration) * 1e-7));
    if (length < 0)
        length = 0;
    if (int code = openControl())
        return code;
    audioCallback = new (std::nothrow) AudioSGCallback(static_cast<int>(waveFormat.nSamplesPerSec),
                                                       waveFormat.nBlockAlign);
    if (!audioCallback)
        return DSError::OutOfMemory;
    installCallback(build, audioCallback, audioCallback);
    if (int code = createEvents())
        return code;
    int clockCode = removeClock();
    if (followContainerClock(build.source))
        if (int code = findTimeOrigin())
            return code;
    if (int code = learnStartShift())
        return code;
    config(0, 0);
    unusable = false;
    return clockCode;
}

// Plays up to the first media sample, whose time becomes time zero, so that
// sample n is the n-th sample of the stream whatever the container's clock
// said first (not a late start). What the callback noted on the way belongs
// to the old times and is forgotten; the first request seeks.
int DSAudioSourceStream::findTimeOrigin()
{
    AudioSGCallback& cb = *audioCallback;
    cb.firstWanted = 0;
    cb.lastWanted = 0;
    cb.started = false;
    cb.laterDelivered = false;
    if (!seek(0, false) || !run())
        return lastError;
    if (cb.laterDelivered)
        setTimeOrigin(static_cast<double>(cb.laterFirst) / waveFormat.nSamplesPerSec);
    forgetDelivered();
    return 0;
}

// Plays the first seconds without keeping them, letting the anchor learn
// where the first run lies from its stamps; the first request seeks.
int DSAudioSourceStream::learnStartShift()
{
    AudioSGCallback& cb = *audioCallback;
    long last = anchorSamples();
    cb.firstWanted = cb.lastWanted = last < length ? last : length - 1;
    cb.started = false;
    cb.laterDelivered = false;
    cb.buffer = nullptr;
    cb.contiguous = false;
    cb.anchor.restart(0, true);
    if (cb.lastWanted > 0 && (!seek(0, false) || !run()))
        return lastError;
    startShift = cb.anchor.total();
    forgetDelivered();
    return 0;
}

long DSAudioSourceStream::anchorSamples() const
{
    return static_cast<long>(waveFormat.nSamplesPerSec) * kAnchorSeconds;
}

// What the callback noted while the stream looked at its start belongs to
// no request.
void DSAudioSourceStream::forgetDelivered()
{
    AudioSGCallback& cb = *audioCallback;
    cb.minFirstSeen = 2147483647;
    cb.laterFirst = 0;
    cb.laterDelivered = false;
    cb.mediaFirst = 0;
    cb.mediaLast = -1;
    delete[] cb.extraBuffer;
    cb.extraBuffer = nullptr;
    cb.extraCapacity = 0;
}

// PCM or extensible in a WAVEFORMATEX, of which the first 18 bytes are kept.
// Zero blocks or rates would divide by zero later: such a format is refused.
int DSAudioSourceStream::takeFormat(const AM_MEDIA_TYPE& connection)
{
    if (connection.formattype != FORMAT_WaveFormatEx || !connection.pbFormat ||
        connection.cbFormat < sizeof(PCMWAVEFORMAT))
        return DSError::ImproperFormat;
    WAVEFORMATEX format = {};
    std::memcpy(&format, connection.pbFormat, connection.cbFormat < kFormatSize ? connection.cbFormat : kFormatSize);
    if (format.wFormatTag != WAVE_FORMAT_PCM && format.wFormatTag != WAVE_FORMAT_EXTENSIBLE)
        return DSError::ImproperFormat;
    if (format.nBlockAlign == 0 || format.nSamplesPerSec == 0 || format.nSamplesPerSec > 0x7FFFFFFF)
        return DSError::ImproperFormat;
    format.cbSize = 0;
    waveFormat = format;
    return 0;
}

void DSAudioSourceStream::config(int threshold, int backtrack)
{
    DSSourceStream::config(threshold);
    backtrackSamples = backtrack > 0 ? backtrack : 1024;
}

void DSAudioSourceStream::configure(void* parentWindow)
{
    if (notOpened())
        return;
    lastError = configureSource(parentWindow, SourceDialogKind::Audio,
                                {decodeThreshold, static_cast<int>(backtrackSamples), 0},
                                [this](const SourceTuning& t) { config(t.decodeThreshold, t.backtrackStep); });
}

long DSAudioSourceStream::seekCount() const
{
    return seeks;
}

bool DSAudioSourceStream::seekCounted(__int64 position)
{
    ++seeks;
    audioCallback->contiguous = false;
    // A run from the start lies where the open found it; any other learns.
    audioCallback->anchor.restart(position == 0 ? startShift : 0, position != 0);
    return seek(position, false);
}

double DSAudioSourceStream::StreamSampleToTime(long& sample)
{
    if (notOpened())
        return -1.0;
    lastError = 0;
    return sample * 1000.0 / waveFormat.nSamplesPerSec;
}

long DSAudioSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (notOpened())
        return -1;
    lastError = 0;
    return roundedLong(waveFormat.nSamplesPerSec * (0.001 * milliseconds));
}

bool DSAudioSourceStream::allocateResult(long first, long last)
{
    if (resultBuffer && resultCapacity > last - first)
        return true;
    delete[] resultBuffer;
    resultCapacity = last - first + 1;
    size_t bytes = static_cast<size_t>(resultCapacity) * waveFormat.nBlockAlign;
    resultBuffer = new (std::nothrow) unsigned char[bytes];
    resultLast = -1;
    if (resultBuffer)
        return true;
    resultCapacity = 0;
    lastError = DSError::OutOfMemory;
    return false;
}

void DSAudioSourceStream::zero(unsigned char* at, LONGLONG samples) const
{
    if (samples > 0)
        std::memset(at, 0, static_cast<size_t>(samples) * waveFormat.nBlockAlign);
}

// The whole range resultFirst..last as silence.
unsigned char* DSAudioSourceStream::silence(long last)
{
    zero(resultBuffer, static_cast<LONGLONG>(last) - resultFirst + 1);
    resultLast = last;
    return resultBuffer;
}

unsigned char* DSAudioSourceStream::getSamples(long first, long last)
{
    if (notOpened())
        return nullptr;
    if (first < 0 || last >= length || first > last) {
        lastError = DSError::OutOfRange;
        return nullptr;
    }
    if (!allocateResult(first, last))
        return nullptr;
    lastError = 0;
    if (resultFirst <= first && last <= resultLast)
        return resultBuffer + static_cast<size_t>(first - resultFirst) * waveFormat.nBlockAlign;
    resultFirst = first;
    resultLast = -1;
    // A hole or a late start found on the way asks for another pass over the
    // same range; each pass starts later, so this ends.
    Pass pass;
    while ((pass = fetch(first, last)) == Pass::Retry) {
    }
    return pass == Pass::Done ? resultBuffer : nullptr;
}

// Rounded up, not down: a splitter that clips its first buffer at the seek
// position then starts it at `sample` itself, and that buffer's time names
// `sample` again, not the one before.
__int64 DSAudioSourceStream::positionOf(long sample) const
{
    if (sample <= 0)
        return 0;
    LONGLONG scaled = static_cast<LONGLONG>(sample) * 10000000;
    LONGLONG rate = waveFormat.nSamplesPerSec;
    return (scaled + rate - 1) / rate;
}

DSAudioSourceStream::Pass DSAudioSourceStream::fetch(long first, long last)
{
    AudioSGCallback& cb = *audioCallback;
    const size_t block = waveFormat.nBlockAlign;
    long f = first;
    unsigned char* dest = resultBuffer;
    if (f > endSample) {
        silence(last);
        return Pass::Done;
    }
    if (gapRetry) {
        // The pass that met the hole filled the range up to its start and
        // zeroed the rest: go on after the hole, keeping what is there.
        gapRetry = false;
        long g = cb.laterFirst > f ? cb.laterFirst : f;
        if (last < g) {
            resultLast = last;
            return Pass::Done;
        }
        dest += static_cast<size_t>(g - f) * block;
        f = g;
    }
    if (lateStart && f < cb.minFirstSeen) {
        if (last < cb.minFirstSeen) {
            silence(last);
            return Pass::Done;
        }
        zero(dest, cb.minFirstSeen - f);
        dest += static_cast<size_t>(cb.minFirstSeen - f) * block;
        f = cb.minFirstSeen;
    }
    cb.buffer = dest;
    if (cb.extraBuffer && cb.mediaFirst <= f && f <= cb.mediaLast) {
        // The range starts inside the last media sample.
        long upper = last <= cb.mediaLast ? last : cb.mediaLast;
        size_t bytes = static_cast<size_t>(upper - f + 1) * block;
        std::memcpy(cb.buffer, cb.extraBuffer + static_cast<size_t>(f - cb.mediaFirst) * block, bytes);
        if (last <= cb.mediaLast) {
            resultLast = last;
            return Pass::Done;
        }
        cb.buffer += bytes;
        cb.firstWanted = cb.mediaLast + 1;
    } else {
        cb.firstWanted = f;
    }
    cb.lastWanted = last;
    cb.started = false;
    zero(cb.buffer, static_cast<LONGLONG>(last) - cb.firstWanted + 1);
    if (heldAfterHole() && last < cb.laterFirst) {
        // Wholly inside the hole before the held media sample: silence.
        resultLast = last;
        return Pass::Done;
    }
    long preroll = anchorSamples();
    __int64 position = positionOf(cb.firstWanted - (preroll > kPrerollSamples ? preroll : kPrerollSamples));
    if (!startAt(position))
        return Pass::Failed;
    if (!backtrack(position))
        return Pass::Failed;
    return finish(last);
}

// The graph is held, since the last seek, on a media sample that begins
// after a hole following the last media sample kept.
bool DSAudioSourceStream::heldAfterHole() const
{
    const AudioSGCallback& cb = *audioCallback;
    return cb.waiting && cb.laterDelivered && cb.beforeRange && cb.contiguous && cb.firstWanted > cb.mediaLast;
}

// Decodes forward from where the graph is held when the range begins within
// `decodeThreshold` media samples (of the largest size seen) after the last
// one; seeks otherwise. Then lets the graph deliver.
bool DSAudioSourceStream::startAt(__int64 position)
{
    AudioSGCallback& cb = *audioCallback;
    // Past a hole the data go on with the held media sample.
    LONGLONG next = heldAfterHole() ? cb.laterFirst : static_cast<LONGLONG>(cb.mediaLast) + 1;
    LONGLONG reach = next + static_cast<LONGLONG>(decodeThreshold) * cb.extraCapacity / waveFormat.nBlockAlign;
    bool forward = cb.extraBuffer && cb.waiting && cb.firstWanted > cb.mediaLast && cb.firstWanted <= reach;
    if (!forward && !seekCounted(position))
        return false;
    cb.laterDelivered = false;
    cb.beforeRange = false;
    return run();
}

// The data begin after the range: step back one largest media sample (or
// backtrackSamples while their size is unknown) until they do not, or the
// start is reached. The step stays the same.
bool DSAudioSourceStream::backtrack(__int64 position)
{
    AudioSGCallback& cb = *audioCallback;
    while (position > 0 && cb.laterDelivered && !cb.beforeRange) {
        if (notification)
            notification->progress(2);
        LONGLONG samples = cb.extraBuffer ? cb.extraCapacity / waveFormat.nBlockAlign : backtrackSamples;
        __int64 step = static_cast<__int64>(static_cast<double>(samples) * 10000000.0 / waveFormat.nSamplesPerSec);
        position = step > 0 && position > step ? position - step : 0;
        if (!seekCounted(position))
            return false;
        cb.laterDelivered = false;
        cb.beforeRange = false;
        if (!run())
            return false;
    }
    return true;
}

DSAudioSourceStream::Pass DSAudioSourceStream::finish(long last)
{
    AudioSGCallback& cb = *audioCallback;
    if (cb.laterDelivered && cb.beforeRange) {
        gapRetry = true;
        return Pass::Retry;
    }
    if (cb.laterDelivered) {
        if (!lateStart) {
            lateStart = true;
            return Pass::Retry;
        }
        lastError = DSError::NoFrameFound;
        return Pass::Failed;
    }
    if (!cb.started)
        cb.lastCopied = cb.firstWanted - 1;
    if (cb.lastCopied < last) {
        unsigned char* tail = resultBuffer + static_cast<size_t>(cb.lastCopied + 1 - resultFirst) *
                                                  waveFormat.nBlockAlign;
        zero(tail, static_cast<LONGLONG>(last) - cb.lastCopied);
        endSample = cb.lastCopied;
    }
    resultLast = last;
    return Pass::Done;
}
