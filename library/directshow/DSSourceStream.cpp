#include "DSSourceStream.h"

#include <new>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/RunsUnderWine.h"
#include "../core/TrelixNotification.h"
#include "../core/TrelixThread.h"
#include "DirectShowIds.h"
#include "GrabberGraph.h"
#include "GraphStop.h"
#include "GraphHelpers.h"
#include "MediaType.h"
#include "SGCallback.h"
#include "ThreadStart.h"

namespace {

// Longest time without a sample that a running graph is waited for; real
// graphs deliver many samples a second.
constexpr DWORD kHaltTimeout = 20000;

} // namespace

// Wine's sample grabber reports sample times relative to the start of the
// segment that the last seek began (Windows': positions in the stream), and
// a sample that begins before that start comes with the start's time.
bool DSSourceStream::grabberTimesFromSegmentStart()
{
    return runsUnderWine();
}

// Wine's GStreamer splitter gives the samples of an MPEG program or system
// stream the container's presentation times, which begin where the file's
// clock began (ffmpeg's muxer, for one, starts at 0.54 s), while Windows'
// MPEG splitter counts from the first sample. It also ends every segment at
// its estimate of the duration counted in those times, which drops the last
// part of the stream; a stop position of 0 makes it set no stop at all (it
// keeps the stop of its previous segment, so that must hold from the first).
bool DSSourceStream::timesFromContainerClock(IBaseFilter* source)
{
    if (!runsUnderWine() || !source)
        return false;
    ComPtr<IPin> output;
    if (FAILED(getPin(source, PINDIR_OUTPUT, output.put())))
        return false;
    AM_MEDIA_TYPE type = {};
    if (FAILED(output->ConnectionMediaType(&type)))
        return false;
    bool mpeg = type.majortype == MEDIATYPE_Stream &&
                (type.subtype == MEDIASUBTYPE_MPEG1System || type.subtype == MEDIASUBTYPE_MPEG1VideoCD ||
                 type.subtype == MEDIASUBTYPE_MPEG2_PROGRAM || type.subtype == MEDIASUBTYPE_MPEG2_TRANSPORT);
    FreeMediaType(type);
    return mpeg;
}

bool DSSourceStream::followContainerClock(IBaseFilter* source)
{
    containerClock = timesFromContainerClock(source);
    return containerClock;
}

void DSSourceStream::setTimeOrigin(double seconds)
{
    timeOrigin = seconds;
    callback->timeOffset -= seconds;
}

// Two shares: the waiting stream's and the stopping thread's. Whichever
// side comes first decides: a thread that finishes first hands over, a
// stream that abandons first is never touched by the thread again.
bool DSSourceStream::StopHandoff::finish()
{
    bool handedOver = InterlockedCompareExchange(&state, kFinished, kRunning) == kRunning;
    drop();
    return handedOver;
}

bool DSSourceStream::StopHandoff::abandon()
{
    return InterlockedCompareExchange(&state, kAbandoned, kRunning) == kRunning;
}

void DSSourceStream::StopHandoff::drop()
{
    if (InterlockedDecrement(&shares) == 0)
        delete this;
}

DSSourceStream::GraphBuild::GraphBuild()
    : source(nullptr), grabber(nullptr), grabberInput(nullptr), connection()
{
}

DSSourceStream::GraphBuild::~GraphBuild()
{
    releaseAndClear(grabberInput);
    releaseAndClear(grabber);
    releaseAndClear(source);
    FreeMediaType(connection);
}

DSSourceStream::DSSourceStream()
    : destroying(false), graphThread(nullptr), stopEvent(nullptr), callback(nullptr), mediaDuration(0),
      graph(nullptr), grabberFilter(nullptr), nullRenderer(nullptr), mediaEvent(nullptr), mediaSeeking(nullptr),
      mediaControl(nullptr), wideFileName(nullptr), decodeThreshold(1), ended(false), timeOrigin(0), containerClock(false), graphThreadObject(nullptr), graphStuck(false), stopHandoff(nullptr)
{
}

DSSourceStream::~DSSourceStream()
{
    destroying = true;
    if (graphThread) {
        if (!unusable)
            endGraphThread();
        CloseHandle(graphThread);
    }
    if (!unusable)
        joinGraphThread();
    // A graph left running at the end of its stream is stopped before it goes.
    if (ended && mediaControl && !graphStuck) {
        releaseCallback();
        mediaControl->Stop();
    }
    detachCallback();
    releaseAndClear(mediaEvent);
    releaseAndClear(mediaSeeking);
    releaseAndClear(mediaControl);
    releaseAndClear(graph);
    releaseAndClear(grabberFilter);
    releaseAndClear(nullRenderer);
    delete[] wideFileName;
    delete callback;
    if (stopEvent)
        CloseHandle(stopEvent);
}

// The grabber may outlive the stream (a viewer holding the graph): it must
// not call the callback that goes with the stream.
void DSSourceStream::detachCallback()
{
    ComPtr<ISampleGrabber> grabber;
    if (grabberFilter && SUCCEEDED(grabberFilter->QueryInterface(IID_ISampleGrabber, grabber.putVoid())))
        grabber->SetCallback(nullptr, 0);
}

double DSSourceStream::msDuration()
{
    if (notOpened())
        return -1.0;
    lastError = 0;
    return static_cast<double>(mediaDuration) * 0.0001;
}

void DSSourceStream::config(int threshold)
{
    decodeThreshold = threshold > 0 ? threshold : 1;
}

void DSSourceStream::attach(TrelixNotification* n)
{
    notification = n;
    if (n)
        n->stream = this;
}

int DSSourceStream::buildGraph(char* fileName, int streamIndex, const GUID& major, const GUID* subtype,
                               GraphBuild& build)
{
    if (int code = createFilterGraph(&graph, &rotRegister))
        return code;

    int wideLength = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, fileName, -1, nullptr, 0);
    if (wideLength <= 0 || !(wideFileName = new (std::nothrow) wchar_t[wideLength]))
        return DSError::OutOfMemory;
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, fileName, -1, wideFileName, wideLength);

    GrabberChain chain;
    int code = addGrabberChain(graph, wideFileName, streamIndex, major, subtype, chain);
    build.source = chain.source;
    build.grabber = chain.grabber;
    grabberFilter = chain.grabberFilter;
    nullRenderer = chain.nullRenderer;
    if (code)
        return code;

    if (FAILED(getPin(grabberFilter, PINDIR_INPUT, &build.grabberInput)) ||
        FAILED(build.grabberInput->ConnectionMediaType(&build.connection)))
        return DSError::UnreadableMediaType;
    return 0;
}

int DSSourceStream::openSeeking()
{
    if (FAILED(graph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&mediaSeeking))))
        return DSError::NoMediaSeeking;
    return 0;
}

int DSSourceStream::readDuration()
{
    if (FAILED(mediaSeeking->SetTimeFormat(&TIME_FORMAT_MEDIA_TIME)))
        return DSError::MediaTimeRejected;
    if (FAILED(mediaSeeking->GetDuration(&mediaDuration)))
        return DSError::UndefinedDuration;
    return 0;
}

int DSSourceStream::openControl()
{
    if (FAILED(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&mediaControl))))
        return DSError::NoMediaControl;
    if (FAILED(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&mediaEvent))))
        return DSError::NoMediaEvent;
    return 0;
}

void DSSourceStream::installCallback(GraphBuild& build, ISampleGrabberCB* grabberCallback, SGCallback* shared)
{
    callback = shared;
    build.grabber->SetCallback(grabberCallback, 0);
    build.grabber->SetOneShot(FALSE);
    build.grabber->SetBufferSamples(FALSE);
}

int DSSourceStream::createEvents()
{
    callback->readyEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    callback->resumeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    callback->ackEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!callback->readyEvent || !callback->resumeEvent || !callback->ackEvent || !stopEvent)
        return DSError::CannotCreateEvent;
    return 0;
}

int DSSourceStream::removeClock()
{
    return FAILED(removeReferenceClock(graph)) ? DSError::CannotChangeClock : 0;
}

DWORD WINAPI DSSourceStream::graphThreadMain(void* stream)
{
    TrelixThread();
    static_cast<DSSourceStream*>(stream)->runGraph();
    return 0;
}

// Runs the graph until it ends (left running at its end) or stopEvent asks
// for a stop; only this thread runs and stops the graph while it exists.
void DSSourceStream::runGraph()
{
    if (FAILED(mediaControl->Run())) {
        lastError = DSError::CannotRunGraph;
        return;
    }
    OAEVENT graphEvent = 0;
    mediaEvent->GetEventHandle(&graphEvent);
    // The stop request first: a graph event handle that stays signalled must
    // not hide it.
    HANDLE events[2] = {stopEvent, reinterpret_cast<HANDLE>(graphEvent)};
    DWORD count = graphEvent ? 2 : 1;
    for (;;) {
        if (WaitForMultipleObjects(count, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            break;
        long code;
        if (takeGraphEvent(mediaEvent, &code) && code == EC_COMPLETE) {
            ended = true;
            return;
        }
    }
    stopGraph();
}

// Only a held callback acknowledges: one that is not held (the graph ended
// or delivered nothing) is never waited for. A callback that holds after the
// check finds resumeEvent set and passes through.
void DSSourceStream::stopGraph()
{
    StopHandoff* handoff = stopHandoff;
    ResetEvent(callback->ackEvent);
    callback->stopRequest = true;
    SetEvent(callback->resumeEvent);
    if (!destroying && callback->waiting)
        WaitForSingleObject(callback->ackEvent, INFINITE);
    // The stop runs here, right after the release: on another thread it
    // would lose the race with the splitter's streaming thread more often
    // (see endGraphThread). Its own references keep the graph alive for a
    // stop that the stream gave up on.
    ComPtr<IMediaControl> control(mediaControl);
    HRESULT stopped = control->Stop();
    OAFilterState state;
    HRESULT settled = SUCCEEDED(stopped) ? control->GetState(INFINITE, &state) : S_OK;
    if (handoff && !handoff->finish())
        return; // the stream went on without this thread, and may be gone
    if (FAILED(stopped))
        lastError = DSError::CannotStopGraph;
    else if (FAILED(settled))
        lastError = DSError::GetStateFailed;
}

int DSSourceStream::stopBounded()
{
    bool stuck = false;
    int code = stopGraphBounded(mediaControl, &stuck);
    // A graph whose stop never ended would take every later call with it.
    if (stuck)
        graphStuck = unusable = true;
    return code;
}

// Lets a callback that is still held return, and ignores what follows: the
// graph is about to be stopped without the graph thread.
void DSSourceStream::releaseCallback()
{
    callback->stopRequest = true;
    SetEvent(callback->resumeEvent);
}

void DSSourceStream::dropStaleEvents()
{
    long code;
    while (takeGraphEvent(mediaEvent, &code))
        continue;
}

void DSSourceStream::joinGraphThread()
{
    if (!graphThreadObject)
        return;
    WaitForSingleObject(graphThreadObject, INFINITE);
    CloseHandle(graphThreadObject);
    graphThreadObject = nullptr;
}

bool DSSourceStream::startGraphThread()
{
    dropStaleEvents();
    // The graph is stopped, so no callback runs: a resume set for a callback
    // that was not held, or a delivery signalled while the graph stopped,
    // would otherwise let the next delivery pass or end the next wait at once.
    ResetEvent(callback->resumeEvent);
    ResetEvent(callback->readyEvent);
    joinGraphThread();
    graphThread = startThread(kGraphThreadStack, graphThreadMain, this, &graphThreadObject);
    if (graphThread)
        return true;
    lastError = DSError::CannotCreateThread;
    return false;
}

// Wine's GStreamer splitter can keep Stop waiting for good: its streaming
// thread waits for data from a pipeline that halted on a damaged file without
// ending the stream. A graph thread whose stop has not ended in kStopTimeout
// is left to it, and the graph is never called again.
void DSSourceStream::endGraphThread()
{
    stopHandoff = new (std::nothrow) StopHandoff;
    SetEvent(stopEvent);
    StopHandoff* handoff = stopHandoff;
    if (handoff && WaitForSingleObject(graphThread, kStopTimeout) == WAIT_TIMEOUT && handoff->abandon()) {
        graphStuck = unusable = true;
        lastError = DSError::CannotStopGraph;
    } else {
        WaitForSingleObject(graphThread, INFINITE);
        // A thread that ended without a stop never took its share.
        if (handoff && handoff->state == StopHandoff::kRunning)
            handoff->drop();
    }
    if (handoff)
        handoff->drop();
    stopHandoff = nullptr;
    ResetEvent(stopEvent);
}

bool DSSourceStream::run()
{
    callback->stopRequest = false;
    if (callback->waiting) {
        SetEvent(callback->resumeEvent);
    } else if (ended) {
        // Running again would wait for samples and an end that never come.
        lastError = 0;
        return true;
    } else if (!graphThread) {
        if (!startGraphThread())
            return false;
    } else {
        DWORD state = WaitForSingleObject(graphThread, 0);
        if (state == WAIT_FAILED && GetLastError() != ERROR_INVALID_HANDLE) {
            lastError = DSError::GetExitCodeThreadFailed;
            graphThread = nullptr;
            return false;
        }
        if (state != WAIT_TIMEOUT) {
            if (state == WAIT_OBJECT_0)
                CloseHandle(graphThread);
            graphThread = nullptr;
            if (!startGraphThread())
                return false;
        }
    }
    lastError = 0;
    HANDLE events[2] = {callback->readyEvent, graphThread};
    if (waitWhileDelivering(events, 2) == WAIT_TIMEOUT) {
        lastError = DSError::CannotRunGraph;
        return false;
    }
    ResetEvent(callback->readyEvent);
    return lastError == 0;
}

// Waits for one of `events` as long as samples keep reaching the callback:
// what WaitForMultipleObjects gives, or WAIT_TIMEOUT when none came for
// kHaltTimeout. Wine's GStreamer splitter can halt on a damaged file without
// ending the stream, and nothing would come again.
DWORD DSSourceStream::waitWhileDelivering(HANDLE* events, DWORD count)
{
    LONG seen = callback->samplesSeen;
    DWORD woken;
    while ((woken = WaitForMultipleObjects(count, events, FALSE, kHaltTimeout)) == WAIT_TIMEOUT && delivered(seen))
        continue;
    return woken;
}

// True when samples reached the callback since `seen`, which moves on.
bool DSSourceStream::delivered(LONG& seen)
{
    LONG now = callback->samplesSeen;
    bool more = now != seen;
    seen = now;
    return more;
}

bool DSSourceStream::seek(__int64 position, bool toKeyFrame)
{
    if (graphThread)
        endGraphThread();
    if (graphStuck) {
        lastError = DSError::CannotStopGraph;
        return false;
    }
    if (ended) {
        ended = false;
        releaseCallback();
        if (FAILED(mediaControl->Stop())) {
            lastError = DSError::CannotStopGraph;
            return false;
        }
    }
    DWORD flags = toKeyFrame ? AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame
                             : AM_SEEKING_AbsolutePositioning;
    LONGLONG start = position;
    // Where the times follow the container's clock, the duration is no
    // position in them: no stop (see timesFromContainerClock).
    LONGLONG stop = containerClock ? 0 : mediaDuration;
    if (FAILED(mediaSeeking->SetPositions(&start, flags, &stop, AM_SEEKING_AbsolutePositioning))) {
        lastError = DSError::Unseekable;
        return false;
    }
    callback->timeOffset = (grabberTimesFromSegmentStart() ? static_cast<double>(position) * 1e-7 : 0.0) - timeOrigin;
    lastError = 0;
    return true;
}

// WaitForCompletion for as long as samples keep reaching the callback;
// E_ABORT when the graph halted (see waitWhileDelivering).
HRESULT DSSourceStream::waitForCompletion(long* code)
{
    LONG seen = callback->samplesSeen;
    HRESULT waited;
    while ((waited = mediaEvent->WaitForCompletion(kHaltTimeout, code)) == E_ABORT && delivered(seen))
        continue;
    return waited;
}

bool DSSourceStream::parseStream(bool byMediaTime)
{
    callback->parseCount = 0;
    callback->parseLastTime = -1.0;
    callback->parseByMediaTime = byMediaTime;
    callback->notification = notification;
    callback->parsing = true;
    if (FAILED(mediaControl->Run())) {
        callback->parsing = false;
        callback->notify(1);
        return false;
    }
    long code = 0;
    HRESULT waited = waitForCompletion(&code);
    callback->parsing = false;
    if (waited == E_ABORT) {
        stopBounded();
        callback->notify(1);
        return false;
    }
    if (SUCCEEDED(waited) && code != EC_COMPLETE) {
        callback->notify(1);
        return false;
    }
    LONGLONG start = 0;
    bool ok = SUCCEEDED(mediaControl->Stop()) &&
              SUCCEEDED(mediaSeeking->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr,
                                                   AM_SEEKING_NoPositioning));
    callback->timeOffset = -timeOrigin;
    callback->notify(1);
    return ok;
}
