#include "DSVideoSourceStream.h"

#include <cstring>
#include <new>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "../core/TrelixNotification.h"
#include "GraphHelpers.h"
#include "MediaType.h"
#include "Rounding.h"
#include "SourceConfigDialog.h"
#include "VideoFormat.h"
#include "VideoSGCallback.h"

namespace {

constexpr long kNoFrame = -2147483647;

// AvgTimePerFrame of the four video format blocks, which all begin alike.
REFERENCE_TIME timePerFrameOf(const AM_MEDIA_TYPE& type)
{
    bool video = type.formattype == FORMAT_VideoInfo || type.formattype == FORMAT_VideoInfo2 ||
                 type.formattype == FORMAT_MPEGVideo || type.formattype == FORMAT_MPEG2Video;
    if (!video || !type.pbFormat || type.cbFormat < offsetof(VIDEOINFOHEADER, bmiHeader))
        return 0;
    return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame;
}

// Walks upstream from the grabber for the first filter that knows the frame
// duration; -1 when none does.
REFERENCE_TIME upstreamTimePerFrame(IPin* grabberInput)
{
    ComPtr<IPin> pin;
    *pin.put() = upstreamInputPin(grabberInput);
    while (pin) {
        AM_MEDIA_TYPE type = {};
        REFERENCE_TIME found = 0;
        if (SUCCEEDED(pin->ConnectionMediaType(&type))) {
            found = timePerFrameOf(type);
            FreeMediaType(type);
        }
        if (found != 0)
            return found;
        ComPtr<IPin> next;
        *next.put() = upstreamInputPin(pin.get());
        pin = next;
    }
    return -1;
}

} // namespace

DSVideoSourceStream::DSVideoSourceStream()
    : videoCallback(nullptr), prevFrame(kNoFrame), nextFrame(kNoFrame), frameBits(nullptr), backtrackFrames(1),
      growthRatio(2), frameSize(0), seeks(0)
{
}

DSVideoSourceStream::~DSVideoSourceStream()
{
    if (rotRegister)
        removeGraphFromRot(rotRegister);
}

DSVideoSourceStream* DSVideoSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    auto* source = new (std::nothrow) DSVideoSourceStream();
    if (!source)
        return nullptr;
    source->attach(n);
    source->lastError = source->openVideo(fileName, streamIndex);
    return source;
}

int DSVideoSourceStream::openVideo(char* fileName, int streamIndex)
{
    GraphBuild build;
    if (int code = buildGraph(fileName, streamIndex, MEDIATYPE_Video, &MEDIASUBTYPE_RGB24, build))
        return code;
    VideoFrameFormat taken;
    if (int code = takeVideoFormat(build.connection, taken))
        return code;
    bitmapHeader = taken.header;
    frameSize = taken.frameSize;
    if (int code = openSeeking())
        return code;
    if (int code = deriveLength(build.grabberInput, taken.timePerFrame))
        return code;
    if (int code = openControl())
        return code;
    videoCallback = new (std::nothrow) VideoSGCallback(frameSize);
    if (!videoCallback)
        return DSError::OutOfMemory;
    installCallback(build, videoCallback, videoCallback);
    if (!videoCallback->allocate())
        return DSError::OutOfMemory;
    int clockCode = removeClock();
    if (framesPerSecond <= 0)
        if (int code = parseFrameRate())
            return code;
    if (int code = createEvents())
        return code;
    videoCallback->halfFrame = 0.5 / framesPerSecond;
    if (followContainerClock(build.source)) {
        if (int code = findTimeOrigin())
            return code;
        findLastFrame();
    }
    prevFrame = nextFrame = kNoFrame;
    config(0, 0, 0);
    unusable = false;
    return clockCode;
}

// Plays up to the first sample, whose time becomes time zero, so that frame
// n is the n-th frame of the stream whatever the container's clock said
// first. The graph stays held there; the first request seeks.
int DSVideoSourceStream::findTimeOrigin()
{
    videoCallback->targetTime = 0;
    videoCallback->havePrev = videoCallback->haveNext = false;
    if (!seek(0, false) || !run())
        return lastError;
    if (videoCallback->haveNext)
        setTimeOrigin(videoCallback->nextTime);
    return 0;
}

// A program stream's duration is the demuxer's estimate from its clock
// references, which may stop short of the last frames; they are still
// delivered. Counting the frames of the last seconds finds the real last
// one. Where that fails, the estimate stays.
void DSVideoSourceStream::findLastFrame()
{
    constexpr __int64 kEndWindow = 30000000; // 3 s
    if (!seek(mediaDuration > kEndWindow ? mediaDuration - kEndWindow : 0, false))
        return;
    double offset = videoCallback->timeOffset;
    if (!parseStream(false) || videoCallback->parseCount < 1)
        return;
    long frames = roundedLong((videoCallback->parseLastTime + offset) * framesPerSecond) + 1;
    if (frames > length) {
        length = frames;
        mediaDuration = static_cast<__int64>(length * 10000000.0 / framesPerSecond);
    }
}

int DSVideoSourceStream::deriveLength(IPin* grabberInput, REFERENCE_TIME timePerFrame)
{
    if (timePerFrame == 0)
        timePerFrame = upstreamTimePerFrame(grabberInput);
    framesPerSecond = 10000000.0 / static_cast<double>(timePerFrame);
    if (int code = readDuration())
        return code;
    length = framesPerSecond > 0 ? roundedLong(static_cast<double>(mediaDuration) * 1e-7 * framesPerSecond) : 0;
    return 0;
}

// The headers tell no frame duration: play the stream through once and count
// the samples with increasing times.
int DSVideoSourceStream::parseFrameRate()
{
    if (!parseStream(false) || videoCallback->parseCount < 2 || !(videoCallback->parseLastTime > 0.0))
        return DSError::NoFrameRate;
    length = videoCallback->parseCount;
    framesPerSecond = (length - 1) / videoCallback->parseLastTime;
    mediaDuration = static_cast<__int64>(length * 10000000.0 / framesPerSecond);
    return 0;
}

void DSVideoSourceStream::config(int threshold, int backtrack, int growth)
{
    DSSourceStream::config(threshold);
    backtrackFrames = backtrack > 0 ? backtrack : decodeThreshold;
    growthRatio = growth > 0 ? growth : 2;
}

void DSVideoSourceStream::configure(void* parentWindow)
{
    if (notOpened())
        return;
    lastError = configureSource(parentWindow, SourceDialogKind::Video,
                                {decodeThreshold, static_cast<int>(backtrackFrames), static_cast<int>(growthRatio)},
                                [this](const SourceTuning& t) { config(t.decodeThreshold, t.backtrackStep, t.growthRatio); });
}

long DSVideoSourceStream::seekCount() const
{
    return seeks;
}

bool DSVideoSourceStream::seekCounted(__int64 position)
{
    ++seeks;
    return seek(position, false);
}

// Half a frame after the target, so that the graph starts at the target's
// frame; the last frame just before its start, since its window ends after
// the stream. Where the grabber gives a sample that began before the seek
// position the position's time (Wine), the position is just after the
// target's start instead, so that this time still names the target's frame
// and the frame before it ends before the position.
__int64 DSVideoSourceStream::seekPosition(long frame) const
{
    double target = videoCallback->targetTime;
    if (grabberTimesFromSegmentStart())
        return static_cast<__int64>((target + videoCallback->halfFrame / 8) * 10000000.0);
    if (frame == length - 1) {
        auto position = static_cast<__int64>(target * 10000000.0);
        return position != 0 ? position - 1 : 0;
    }
    return static_cast<__int64>((target + videoCallback->halfFrame) * 10000000.0);
}

// Steps back with a geometrically growing step until a sample at or before
// the target has been delivered or the start is reached.
void DSVideoSourceStream::backtrack(__int64 position)
{
    auto step = static_cast<__int64>(backtrackFrames / framesPerSecond * 10000000.0);
    while (!videoCallback->havePrev && position != 0) {
        if (notification)
            notification->progress(2);
        position = position - step < 0 ? 0 : position - step;
        if (!seekCounted(position))
            break;
        if (!videoCallback->havePrev && !run())
            break;
        step *= growthRatio;
    }
}

// The frames delivered after a seek or a backtrack.
long DSVideoSourceStream::evaluate()
{
    prevFrame = roundedLong(videoCallback->prevTime * framesPerSecond);
    nextFrame = roundedLong(videoCallback->nextTime * framesPerSecond);
    if (lastError != 0)
        return -1;
    if (videoCallback->havePrev) {
        frameBits = videoCallback->buffer;
        return prevFrame;
    }
    if (videoCallback->haveNext) {
        prevFrame = 0;
        std::memcpy(videoCallback->buffer, videoCallback->extraBuffer, frameSize);
        lastError = DSError::NextFrameReturned;
        frameBits = videoCallback->extraBuffer;
        return nextFrame;
    }
    lastError = DSError::NoFrameFound;
    return -1;
}

long DSVideoSourceStream::findFrame(long frame)
{
    if (notOpened())
        return -1;
    if (frame < 0 || frame >= length) {
        lastError = DSError::OutOfRange;
        return -1;
    }
    lastError = 0;
    if (frame == prevFrame || (prevFrame < frame && frame < nextFrame)) {
        frameBits = videoCallback->buffer;
        return prevFrame;
    }
    if (frame == nextFrame) {
        frameBits = videoCallback->extraBuffer;
        return nextFrame;
    }
    videoCallback->targetTime = frame / framesPerSecond;
    __int64 position = seekPosition(frame);
    videoCallback->havePrev = videoCallback->haveNext = false;
    bool needSeek = frame < prevFrame || static_cast<LONGLONG>(frame) > static_cast<LONGLONG>(nextFrame) + decodeThreshold;
    if (needSeek) {
        if (!seekCounted(position))
            return -1;
    } else if (nextFrame != prevFrame) {
        std::memcpy(videoCallback->buffer, videoCallback->extraBuffer, frameSize);
        prevFrame = nextFrame;
    }
    if (!run())
        return -1;
    if (needSeek || videoCallback->havePrev) {
        backtrack(position);
        return evaluate();
    }
    if (videoCallback->waiting) {
        prevFrame = nextFrame;
        nextFrame = roundedLong(videoCallback->nextTime * framesPerSecond);
    }
    frameBits = videoCallback->buffer;
    return prevFrame;
}

unsigned char* DSVideoSourceStream::getFrameBits(long& frame)
{
    frame = findFrame(frame);
    return frame == -1 ? nullptr : frameBits;
}

double DSVideoSourceStream::StreamSampleToTime(long& frame)
{
    if (notOpened())
        return -1.0;
    lastError = 0;
    return frame / framesPerSecond * 1000.0;
}

long DSVideoSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (notOpened())
        return -1;
    lastError = 0;
    return roundedLong(0.001 * milliseconds * framesPerSecond);
}
