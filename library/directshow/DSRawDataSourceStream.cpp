#include "DSRawDataSourceStream.h"

#include <cmath>
#include <cstring>
#include <dvdmedia.h>
#include <new>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/TrelixNotification.h"
#include "../probe/MediaContainer.h"
#include "DataSGCallback.h"
#include "GrabberGraph.h"
#include "GraphHelpers.h"
#include "MediaType.h"
#include "Rounding.h"
#include "RunningObjectTable.h"
#include "SampleNumbering.h"
#include "SourceConfigDialog.h"
#include "TimeSGCallback1.h"
#include "TimeSGCallback2.h"

namespace {

constexpr long kNoSample = 2147483647;
// Positions and steps stay far inside the 64-bit range whatever durations a
// damaged stream claims.
constexpr LONGLONG kPositionLimit = 4000000000000000000LL;

LONGLONG boundedProduct(LONGLONG a, LONGLONG b)
{
    __int128 p = static_cast<__int128>(a) * b;
    if (p > kPositionLimit)
        return kPositionLimit;
    if (p < -kPositionLimit)
        return -kPositionLimit;
    return static_cast<LONGLONG>(p);
}

// a / b, plus one when the remainder exceeds half of b.
LONGLONG roundedQuotient(LONGLONG a, LONGLONG b)
{
    LONGLONG q = a / b;
    return a % b > b / 2 ? q + 1 : q;
}

// Times of samples are whole ticks; a time in milliseconds brought back to
// seconds may differ from one by a rounding error.
bool sameTime(double a, double b)
{
    return std::fabs(a - b) < 0.5e-7;
}

bool isVideoFormat(const GUID& type)
{
    return type == FORMAT_VideoInfo || type == FORMAT_VideoInfo2 || type == FORMAT_MPEGVideo ||
           type == FORMAT_MPEG2Video;
}

// What getData hands out for one kept sample.
unsigned char* handOut(const DataSGCallback::Kept& kept, long& sample, long& samplesRead, long& bytesRead, bool& key)
{
    sample = clampedLong(kept.start);
    samplesRead = kept.end > kept.start ? clampedLong(kept.end - kept.start) : 1;
    bytesRead = kept.size;
    key = kept.key;
    return kept.data;
}

bool contains(const DataSGCallback::Kept& kept, long sample)
{
    return kept.start <= sample && sample < kept.end;
}

} // namespace

DSRawDataSourceStream::DSRawDataSourceStream()
    : dataCallback(nullptr), backtrackSamples(1), growthRatio(2), streamIndex(0), timeRotRegister(0),
      sampleRotRegister(0), timeSeeking(nullptr), sampleSeeking(nullptr), timeControl(nullptr),
      sampleControl(nullptr), timeEvent(nullptr), sampleEvent(nullptr), timeCallback(nullptr),
      sampleCallback(nullptr), seeks(0)
{
}

DSRawDataSourceStream::~DSRawDataSourceStream()
{
    endTimeGraph(timeRotRegister, timeCallback, timeSeeking, timeControl, timeEvent);
    endTimeGraph(sampleRotRegister, sampleCallback, sampleSeeking, sampleControl, sampleEvent);
    delete timeCallback;
    delete sampleCallback;
    if (rotRegister)
        removeGraphFromRot(rotRegister);
}

DSRawDataSourceStream* DSRawDataSourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    auto* source = new (std::nothrow) DSRawDataSourceStream();
    if (!source)
        return nullptr;
    source->attach(n);
    source->lastError = source->openRaw(fileName, video, streamIndex);
    return source;
}

int DSRawDataSourceStream::openRaw(char* fileName, bool video, int index)
{
    GraphBuild build;
    if (int code = buildGraph(fileName, index, video ? MEDIATYPE_Video : MEDIATYPE_Audio, nullptr, build))
        return code;
    // The connection's type, format block and all, becomes the stream's.
    mediaType = build.connection;
    build.connection = AM_MEDIA_TYPE();
    if (int code = openSeeking())
        return code;
    if (int code = readDuration())
        return code;
    if (int code = openControl())
        return code;
    dataCallback = new (std::nothrow) DataSGCallback(&mediaType);
    if (!dataCallback)
        return DSError::OutOfMemory;
    installCallback(build, dataCallback, dataCallback);
    // Without a clock the samples arrive as fast as the splitter reads them,
    // also while the stream is counted.
    int clockCode = removeClock();
    if (int code = video ? takeVideoLength() : takeAudioLength())
        return code;
    dataCallback->renumber();
    if (int code = createEvents())
        return code;
    config(0, 0, 0);
    lastError = clockCode;
    unusable = false;
    streamIndex = index;
    RawDataSourceStream::_firstKeySample = _firstKeySample(!video);
    return lastError;
}

const WAVEFORMATEX* DSRawDataSourceStream::waveFormat() const
{
    return reinterpret_cast<const WAVEFORMATEX*>(mediaType.pbFormat);
}

bool DSRawDataSourceStream::audioFormat() const
{
    return mediaType.formattype == FORMAT_WaveFormatEx;
}

__int64 DSRawDataSourceStream::timePerFrame() const
{
    return reinterpret_cast<const VIDEOINFOHEADER*>(mediaType.pbFormat)->AvgTimePerFrame;
}

// A rate or block size of 0 would divide by zero later: such a format is
// refused with the others.
int DSRawDataSourceStream::takeAudioLength()
{
    if (!audioFormat() || !mediaType.pbFormat || mediaType.cbFormat < sizeof(WAVEFORMAT))
        return DSError::UnusableAudioFormat;
    const WAVEFORMATEX& format = *waveFormat();
    if (format.nSamplesPerSec == 0 || format.nSamplesPerSec > 0x7FFFFFFF || format.nBlockAlign == 0)
        return DSError::UnusableAudioFormat;
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        length = roundedLong(format.nSamplesPerSec * (static_cast<double>(mediaDuration) * 1e-7));
    } else {
        if (!parseStream(true) || dataCallback->parseCount < 1)
            return DSError::UndeterminedSampleCount;
        length = dataCallback->parseCount;
    }
    if (length < 0)
        length = 0;
    return 0;
}

int DSRawDataSourceStream::takeVideoLength()
{
    if (!isVideoFormat(mediaType.formattype) || !mediaType.pbFormat ||
        mediaType.cbFormat < offsetof(VIDEOINFOHEADER, bmiHeader))
        return DSError::NoFrameRate;
    auto* head = reinterpret_cast<VIDEOINFOHEADER*>(mediaType.pbFormat);
    if (head->AvgTimePerFrame < 0)
        return DSError::NoFrameRate;
    if (head->AvgTimePerFrame == 0) {
        // The format tells no frame duration: count the samples of the
        // stream, and spread them evenly over its time.
        if (!parseStream(false) || dataCallback->parseCount < 2 || !(dataCallback->parseLastTime > 0.0))
            return DSError::NoFrameRate;
        length = dataCallback->parseCount;
        double perFrame = 10000000.0 * dataCallback->parseLastTime / (length - 1);
        if (!(perFrame >= 1.0) || perFrame > 1e12)
            return DSError::NoFrameRate;
        head->AvgTimePerFrame = static_cast<LONGLONG>(perFrame);
        mediaDuration = boundedProduct(length, head->AvgTimePerFrame);
        return 0;
    }
    length = clampedLong(roundedQuotient(mediaDuration, head->AvgTimePerFrame));
    if (length < 0)
        length = 0;
    return 0;
}

// Runs the stream graph itself until the first sync point has been seen or
// the stream ends, then stops and rewinds it.
long DSRawDataSourceStream::_firstKeySample(bool audio)
{
    DataSGCallback& cb = *dataCallback;
    cb.parseCount = -1;
    cb.parseByMediaTime = audio;
    cb.keyFoundEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!cb.keyFoundEvent) {
        lastError = DSError::CannotCreateEvent;
        return -1;
    }
    OAEVENT graphEvent = 0;
    mediaEvent->GetEventHandle(&graphEvent);
    // The count of the stream's length leaves its completion queued (Wine
    // keeps EC_COMPLETE after WaitForCompletion and Stop): taken as this
    // run's end, it would stop the search before the first sample came.
    dropStaleEvents();
    cb.keySearch = true;
    int code = 0;
    if (FAILED(mediaControl->Run())) {
        code = DSError::CannotRunGraph;
    } else {
        HANDLE events[2] = {cb.keyFoundEvent, reinterpret_cast<HANDLE>(graphEvent)};
        bool done = false;
        DWORD woken;
        while (!done && (woken = waitWhileDelivering(events, graphEvent ? 2 : 1)) == WAIT_OBJECT_0 + 1) {
            long event;
            while (takeGraphEvent(mediaEvent, &event))
                done = done || event == EC_COMPLETE || event == EC_ERRORABORT || event == EC_USERABORT;
        }
        if (!done && woken == WAIT_TIMEOUT)
            code = DSError::CannotRunGraph;
    }
    // Samples still on their way while the graph stops pass straight
    // through: one held in the callback would keep Stop waiting for ever.
    cb.stopRequest = true;
    cb.keySearch = false;
    OAFilterState state;
    if (FAILED(mediaControl->Stop()))
        code = code ? code : DSError::CannotStopGraph;
    else if (FAILED(mediaControl->GetState(INFINITE, &state)))
        code = code ? code : DSError::GetStateFailed;
    LONGLONG start = 0;
    if (!code && FAILED(mediaSeeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                                   AM_SEEKING_NoPositioning)))
        code = DSError::CannotRewind;
    bool found = cb.parseCount >= 0;
    cb.stopRequest = false;
    if (!code && found)
        return cb.parseCount;
    lastError = code ? code : DSError::NoKeySample;
    return -1;
}

void DSRawDataSourceStream::config(int threshold, int backtrack, int growth)
{
    DSSourceStream::config(threshold);
    backtrackSamples = backtrack > 0 ? backtrack : (audioFormat() ? 1024 : decodeThreshold);
    growthRatio = growth > 0 ? growth : 2;
}

// The configuration dialog is not part of this build.
// Audio samples get the audio dialog, every other format the video one.
void DSRawDataSourceStream::configure(void* parentWindow)
{
    if (notOpened())
        return;
    lastError = configureSource(parentWindow, audioFormat() ? SourceDialogKind::Audio : SourceDialogKind::Video,
                                {decodeThreshold, static_cast<int>(backtrackSamples), static_cast<int>(growthRatio)},
                                [this](const SourceTuning& t) {
                                    config(t.decodeThreshold, t.backtrackStep, t.growthRatio);
                                });
}

long DSRawDataSourceStream::seekCount() const
{
    return seeks;
}

// Time stamps after a seek count from where the stream then starts.
bool DSRawDataSourceStream::seekCounted(__int64 position, bool toKeyFrame)
{
    ++seeks;
    if (!seek(position, toKeyFrame))
        return false;
    LONGLONG current = position;
    if (FAILED(mediaSeeking->GetCurrentPosition(&current)))
        current = position;
    dataCallback->segmentStart = current;
    return true;
}

VIDEOINFOHEADER* DSRawDataSourceStream::videoInfo(VIDEOINFOHEADER& info)
{
    if (notOpened())
        return nullptr;
    if (audioFormat())
        return nullptr;
    const GUID& type = mediaType.formattype;
    if ((type == FORMAT_VideoInfo2 || type == FORMAT_MPEG2Video) && mediaType.cbFormat >= sizeof(VIDEOINFOHEADER2)) {
        const auto& v2 = *reinterpret_cast<const VIDEOINFOHEADER2*>(mediaType.pbFormat);
        info.rcSource = v2.rcSource;
        info.rcTarget = v2.rcTarget;
        info.dwBitRate = v2.dwBitRate;
        info.dwBitErrorRate = v2.dwBitErrorRate;
        info.AvgTimePerFrame = v2.AvgTimePerFrame;
        info.bmiHeader = v2.bmiHeader;
    } else if ((type == FORMAT_VideoInfo || type == FORMAT_MPEGVideo) && mediaType.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        std::memcpy(&info, mediaType.pbFormat, sizeof(VIDEOINFOHEADER));
    } else {
        lastError = DSError::NoVideoInfoHeader;
        return nullptr;
    }
    lastError = 0;
    return &info;
}

unsigned char* DSRawDataSourceStream::getData(long& sample, long& samplesRead, long& bytesRead, bool& key)
{
    if (notOpened())
        return nullptr;
    if (sample < 0 || sample >= length) {
        lastError = DSError::OutOfRange;
        return nullptr;
    }
    // Samples before the first key sample are never delivered.
    if (sample < RawDataSourceStream::_firstKeySample) {
        lastError = DSError::DataNotFound;
        return nullptr;
    }
    lastError = 0;
    if (unsigned char* data = cached(sample, samplesRead, bytesRead, key))
        return data;
    return seekAndRead(sample, samplesRead, bytesRead, key, needsSeek(sample, key));
}

// The previous or current sample when it contains `sample` (and is a key
// sample if one is wanted), or the key copy for a wanted key sample inside
// either.
unsigned char* DSRawDataSourceStream::cached(long& sample, long& samplesRead, long& bytesRead, bool& key)
{
    const DataSGCallback& cb = *dataCallback;
    bool inPrevious = cb.hasPrevious() && contains(cb.previous(), sample);
    bool inCurrent = cb.hasCurrent() && contains(cb.current(), sample);
    if (inPrevious && (!key || cb.previous().key))
        return handOut(cb.previous(), sample, samplesRead, bytesRead, key);
    if (inCurrent && (!key || cb.current().key))
        return handOut(cb.current(), sample, samplesRead, bytesRead, key);
    if (key && cb.hasKeyCopy() && (inPrevious || inCurrent))
        return handOut(cb.keyCopy(), sample, samplesRead, bytesRead, key);
    return nullptr;
}

// Audio: the sample's time rounded to the nearest tick. Video: half a frame
// into the sample, and just before the start of the last one, whose window
// ends after the stream. Where a sample that begins before the seek position
// comes stamped with the position (Wine), the last one too is sought half a
// frame in: just before its start, the one before it would take its number.
__int64 DSRawDataSourceStream::seekPosition(long sample) const
{
    if (audioFormat())
        return roundedQuotient(static_cast<LONGLONG>(sample) * 10000000, waveFormat()->nSamplesPerSec);
    LONGLONG perFrame = timePerFrame();
    LONGLONG start = boundedProduct(sample, perFrame);
    if (sample == length - 1 && !grabberTimesFromSegmentStart())
        return start != 0 ? start - 1 : 0;
    return start + perFrame / 2;
}

// One media sample back: of the current size, else of the previous size, else
// backtrackSamples bytes; at least one tick.
__int64 DSRawDataSourceStream::audioStep() const
{
    const DataSGCallback& cb = *dataCallback;
    LONGLONG bytes = cb.hasCurrent() ? cb.curSize : (cb.hasPrevious() ? cb.prevSize : backtrackSamples);
    DWORD perSecond = waveFormat()->nAvgBytesPerSec;
    LONGLONG step = roundedQuotient(bytes * 10000000, perSecond ? perSecond : 1);
    return step >= 1 ? step : 1;
}

// Going on from the held sample costs less than a seek while the wanted
// sample lies at most W samples after the kept ones.
bool DSRawDataSourceStream::needsSeek(long sample, bool key) const
{
    const DataSGCallback& cb = *dataCallback;
    if (key || !cb.waiting || (!cb.hasPrevious() && !cb.hasCurrent()))
        return true;
    LONGLONG window = audioFormat() ? static_cast<LONGLONG>(decodeThreshold) * cb.curSize / waveFormat()->nBlockAlign
                                    : decodeThreshold;
    if (cb.hasPrevious()) {
        LONGLONG reach = cb.hasCurrent() && cb.curEnd != -1 ? cb.curEnd : cb.prevEnd;
        return sample < cb.prevStart || sample > reach + window;
    }
    return sample < cb.curStart || sample > cb.curEnd + window;
}

unsigned char* DSRawDataSourceStream::seekAndRead(long& sample, long& samplesRead, long& bytesRead, bool& key,
                                                  bool needSeek)
{
    DataSGCallback& cb = *dataCallback;
    __int64 position = seekPosition(sample);
    __int64 step = audioFormat() ? audioStep() : boundedProduct(backtrackSamples, timePerFrame());
    cb.wanted = sample;
    for (;;) {
        if (needSeek)
            cb.forget();
        else
            cb.advance();
        if (needSeek && !seekCounted(position, key))
            return nullptr;
        if (!run())
            return nullptr;
        DataSGCallback::Kept found = {};
        bool have = false;
        if (!cb.waiting) {
            // The stream ended.
            if (!cb.received) {
                cb.missed = true;
            } else if (!cb.hasPrevious()) {
                if (!cb.hasCurrent()) {
                    lastError = DSError::OutOfMemory;
                    return nullptr;
                }
                lastError = DSError::BeyondData;
                found = cb.current();
                have = true;
            } else {
                cb.prevEnd = length;
                found = cb.previous();
                have = true;
            }
        } else if (!cb.missed) {
            if (!cb.hasPrevious() && !cb.hasCurrent()) {
                lastError = DSError::OutOfMemory;
                return nullptr;
            }
            found = cb.hasPrevious() ? cb.previous() : cb.current();
            have = true;
        }
        if (have && (!key || found.key))
            return handOut(found, sample, samplesRead, bytesRead, key);
        if (have && cb.hasKeyCopy())
            return handOut(cb.keyCopy(), sample, samplesRead, bytesRead, key);
        if (position == 0) {
            lastError = key ? DSError::NoPrecedingKey : DSError::DataNotFound;
            return nullptr;
        }
        needSeek = true;
        position = position > step ? position - step : 0;
        // The audio step, one media sample back, grows as the video step
        // does: a stream whose data end long before its stated length (a
        // damaged header) would otherwise take millions of seeks.
        __int64 grown = boundedProduct(step, growthRatio);
        __int64 sampleBack = audioFormat() ? audioStep() : 0;
        step = sampleBack > grown ? sampleBack : grown;
        if (notification)
            notification->progress(2);
    }
}

// A graph of its own for the same stream, stopped at its start, driven by the
// caller's thread through `callback`.
bool DSRawDataSourceStream::createTimeGraph(unsigned long& rot, IMediaSeeking*& seeking, IMediaControl*& control,
                                            IMediaEvent*& event, TimeSGCallback* cb)
{
    ComPtr<IGraphBuilder> graphBuilder;
    if (int code = createFilterGraph(graphBuilder.put(), &rot)) {
        lastError = code;
        return false;
    }
    bool video = MediaContainer::isVideo(mediaType);
    GrabberChain chain;
    int code = addGrabberChain(graphBuilder.get(), wideFileName, streamIndex, video ? MEDIATYPE_Video : MEDIATYPE_Audio,
                               nullptr, chain);
    ComPtr<IBaseFilter> source, grabberFilter, renderer;
    ComPtr<ISampleGrabber> grabber;
    *source.put() = chain.source;
    *grabberFilter.put() = chain.grabberFilter;
    *grabber.put() = chain.grabber;
    *renderer.put() = chain.nullRenderer;
    ComPtr<IMediaSeeking> seekingRef;
    ComPtr<IMediaControl> controlRef;
    ComPtr<IMediaEvent> eventRef;
    if (!code && FAILED(graphBuilder->QueryInterface(IID_IMediaSeeking, seekingRef.putVoid())))
        code = DSError::NoMediaSeeking;
    if (!code && FAILED(seekingRef->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME)))
        code = DSError::MediaTimeRejected;
    if (!code && FAILED(graphBuilder->QueryInterface(IID_IMediaControl, controlRef.putVoid())))
        code = DSError::NoMediaControl;
    if (!code && FAILED(graphBuilder->QueryInterface(IID_IMediaEvent, eventRef.putVoid())))
        code = DSError::NoMediaEvent;
    if (!code) {
        grabber->SetCallback(cb, 0);
        grabber->SetOneShot(FALSE);
        grabber->SetBufferSamples(FALSE);
        removeReferenceClock(graphBuilder.get());
        cb->foundEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        cb->resumeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!cb->foundEvent || !cb->resumeEvent)
            code = DSError::CannotCreateEvent;
    }
    if (code) {
        if (grabber)
            grabber->SetCallback(nullptr, 0);
        if (rot)
            removeGraphFromRot(rot);
        rot = 0;
        lastError = code;
        return false;
    }
    cb->isVideo = video;
    cb->avgTimePerFrame = video ? timePerFrame() : 0;
    seeking = seekingRef.detach();
    control = controlRef.detach();
    event = eventRef.detach();
    lastError = 0;
    return true;
}

// Builds a time graph on first use; one that could not be built is tried
// again by the next conversion.
template <typename Callback>
bool DSRawDataSourceStream::timeGraph(Callback*& cb, unsigned long& rot, IMediaSeeking*& seeking,
                                      IMediaControl*& control, IMediaEvent*& event)
{
    if (cb)
        return true;
    cb = new (std::nothrow) Callback();
    if (!cb) {
        lastError = DSError::OutOfMemory;
        return false;
    }
    if (createTimeGraph(rot, seeking, control, event, cb))
        return true;
    delete cb;
    cb = nullptr;
    return false;
}

// Back to the start of the stream: a held callback is let go and ignores
// what still comes, the graph is stopped, rewound and run again.
bool DSRawDataSourceStream::restartTimeGraph(TimeSGCallback& cb, IMediaSeeking* seeking, IMediaControl* control,
                                             IMediaEvent* event)
{
    if (cb.held) {
        cb.abort = true;
        SetEvent(cb.resumeEvent);
    }
    OAFilterState state;
    HRESULT stopped = control->Stop();
    HRESULT settled = SUCCEEDED(stopped) ? control->GetState(INFINITE, &state) : S_OK;
    cb.abort = false;
    if (FAILED(stopped) || FAILED(settled)) {
        lastError = FAILED(stopped) ? DSError::CannotStopGraph : DSError::GetStateFailed;
        return false;
    }
    long code;
    while (takeGraphEvent(event, &code))
        continue;
    // What the last pass saw says nothing about the new one.
    cb.sampleNumber = kNoSample;
    cb.sampleTime = HUGE_VAL;
    ResetEvent(cb.foundEvent);
    LONGLONG start = 0;
    if (FAILED(seeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning))) {
        lastError = DSError::Unseekable;
        return false;
    }
    if (FAILED(control->Run())) {
        lastError = DSError::CannotRunGraph;
        return false;
    }
    return true;
}

// Until the callback holds on an answer or the stream ends.
void DSRawDataSourceStream::waitTimeGraph(TimeSGCallback& cb, IMediaEvent* event)
{
    OAEVENT graphEvent = 0;
    event->GetEventHandle(&graphEvent);
    HANDLE events[2] = {cb.foundEvent, reinterpret_cast<HANDLE>(graphEvent)};
    bool ended = false;
    while (!ended && WaitForMultipleObjects(graphEvent ? 2 : 1, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        long code;
        while (takeGraphEvent(event, &code))
            ended = ended || code == EC_COMPLETE || code == EC_ERRORABORT || code == EC_USERABORT;
    }
    ResetEvent(cb.foundEvent);
}

void DSRawDataSourceStream::endTimeGraph(unsigned long rot, TimeSGCallback* cb, IMediaSeeking*& seeking,
                                         IMediaControl*& control, IMediaEvent*& event)
{
    if (rot)
        removeGraphFromRot(rot);
    if (cb && cb->held) {
        cb->abort = true;
        SetEvent(cb->resumeEvent);
    }
    if (control) {
        control->Stop();
        // The grabber may outlive the graph's interfaces held here.
        ComPtr<IFilterGraph> filters;
        ComPtr<IBaseFilter> grabberFilter;
        ComPtr<ISampleGrabber> grabber;
        if (SUCCEEDED(control->QueryInterface(IID_IFilterGraph, filters.putVoid())) &&
            SUCCEEDED(filters->FindFilterByName(L"sample_grabber", grabberFilter.put())) &&
            SUCCEEDED(grabberFilter->QueryInterface(IID_ISampleGrabber, grabber.putVoid())))
            grabber->SetCallback(nullptr, 0);
    }
    releaseAndClear(seeking);
    releaseAndClear(control);
    releaseAndClear(event);
}

double DSRawDataSourceStream::StreamSampleToTime(long& sample)
{
    if (notOpened())
        return -1.0;
    if (!timeGraph(timeCallback, timeRotRegister, timeSeeking, timeControl, timeEvent))
        return -1.0;
    TimeSGCallback1& cb = *timeCallback;
    double endMs = static_cast<double>(mediaDuration) * 0.0001;
    if (cb.rough) {
        lastError = DSError::RoughTimeFormula;
        return length > 0 ? endMs * sample / length : 0.0;
    }
    lastError = 0;
    if (sample == cb.sampleNumber)
        return cb.sampleTime * 1000.0;
    if (!cb.held && cb.sampleNumber < sample)
        return endMs;
    cb.notification = notification;
    cb.wantedSample = sample;
    if (cb.sampleNumber < sample)
        SetEvent(cb.resumeEvent);
    else if (!restartTimeGraph(cb, timeSeeking, timeControl, timeEvent))
        return -1.0;
    waitTimeGraph(cb, timeEvent);
    if (cb.sampleNumber == kNoSample && !cb.rough) {
        lastError = DSError::DataNotFound;
        return -1.0;
    }
    if (cb.rough)
        return StreamSampleToTime(sample);
    if (cb.sampleNumber < sample)
        return endMs;
    if (cb.sampleNumber != sample) {
        lastError = DSError::NotInStream;
        sample = cb.sampleNumber;
    }
    return cb.sampleTime * 1000.0;
}

long DSRawDataSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (notOpened())
        return -1;
    if (!timeGraph(sampleCallback, sampleRotRegister, sampleSeeking, sampleControl, sampleEvent))
        return -1;
    TimeSGCallback2& cb = *sampleCallback;
    if (cb.rough) {
        lastError = DSError::RoughTimeFormula;
        double endMs = static_cast<double>(mediaDuration) * 0.0001;
        return endMs > 0 ? clampedLong(static_cast<LONGLONG>(length * milliseconds / endMs)) : 0;
    }
    lastError = 0;
    double t = 0.001 * milliseconds;
    if (sameTime(t, cb.sampleTime))
        return cb.sampleNumber;
    if (!cb.held && t > cb.sampleTime)
        return length;
    cb.notification = notification;
    cb.wantedTime = t;
    if (t <= cb.sampleTime) {
        if (!restartTimeGraph(cb, sampleSeeking, sampleControl, sampleEvent))
            return -1;
    } else {
        SetEvent(cb.resumeEvent);
    }
    waitTimeGraph(cb, sampleEvent);
    if (cb.sampleTime == HUGE_VAL && !cb.rough) {
        lastError = DSError::DataNotFound;
        return -1;
    }
    if (cb.rough)
        return StreamTimeToSample(milliseconds);
    if (t <= cb.sampleTime || sameTime(t, cb.sampleTime)) {
        if (!sameTime(cb.sampleTime, t)) {
            lastError = DSError::LaterSampleReturned;
            milliseconds = cb.sampleTime * 1000.0;
        }
        return cb.sampleNumber;
    }
    return length;
}
