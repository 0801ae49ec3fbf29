#include "ConversionRun.h"

#include <cstdio>

#include "ThreadStarter.h"

namespace {

const SIZE_T kWriterStack = 0x40000;

} // namespace

ConversionRun::ConversionRun(SourceStream* video, SourceStream* audio, OutputAVIFile* output,
                             ConversionObserver& observer)
    : videoSource(video), audioSource(audio), output(output), observer(observer),
      rawVideo(dynamic_cast<RawDataSourceStream*>(video)), decodedVideo(dynamic_cast<VideoSourceStream*>(video)),
      rawAudio(dynamic_cast<RawDataSourceStream*>(audio)), decodedAudio(dynamic_cast<AudioSourceStream*>(audio))
{
}

void ConversionRun::convertStreams(const ConversionRange& range, const std::atomic<bool>& stop)
{
    if (!output->start()) {
        observer.outputError();
        return;
    }
    if (audioSource) {
        audio.first = audio.current = range.audioFirst;
        audio.end = range.audioLast + 1;
    }
    percent = 0;
    if (videoSource && !videoSection(range, stop))
        return;
    if (!audioSource)
        return;
    audioTail(stop);
}

bool ConversionRun::videoSection(const ConversionRange& range, const std::atomic<bool>& stop)
{
    LONGLONG period = 0;
    if (audioSource) {
        period = output->interleavingPeriod();
        if (period == 0) {
            observer.outputError();
            return false;
        }
    }
    LONGLONG lastPeriod = -1;
    video.first = video.current = range.videoFirst;
    video.end = range.videoLast + 1;
    total = video.end - video.first;
    t0 = videoSource->StreamSampleToTime(video.first);
    inVideoSection = true;
    longerAudioRule();
    while (video.current < video.end) {
        if (stop.load(std::memory_order_relaxed)) {
            if (audioSource && !output->flushAudio())
                observer.outputError();
            return false;
        }
        bool write = true;
        unsigned char* data = readFrame(write);
        if (!data) {
            observer.sourceError(true);
            return false;
        }
        if (video.current < video.first) {
            moveVideoFirst();
            total = video.end - video.first;
            t0 = videoSource->StreamSampleToTime(video.first);
            longerAudioRule();
        }
        if (write && !output->writeFrame(video.current - video.first, data, video.count, video.bytes, video.key)) {
            observer.outputError();
            return false;
        }
        observer.frame(data);
        if (videoSource->isRawData())
            video.key = false;
        if (audioSource && !interleaveAudio(period, lastPeriod))
            return false;
        video.current += video.count;
        percent = total > 0 ? static_cast<int>((LONGLONG(video.current - video.first) * 100) / total) : 100;
        observer.progress(percent);
        showFrameStatus();
    }
    inVideoSection = false;
    return true;
}

// A hollow stream answers with an earlier frame: written again only when the
// user asked for it. A later frame moves the position there unless filling.
unsigned char* ConversionRun::readFrame(bool& write)
{
    if (rawVideo)
        return rawVideo->getData(video.current, video.count, video.bytes, video.key);
    long n = video.current;
    unsigned char* data = decodedVideo->getFrameBits(n);
    bool fill = observer.fillHollow();
    if (n < video.current)
        write = fill;
    else if (!fill)
        video.current = n;
    return data;
}

void ConversionRun::longerAudioRule()
{
    if (!audioSource || !inVideoSection)
        return;
    double span = audioSource->StreamSampleToTime(audio.end) - audioSource->StreamSampleToTime(audio.first);
    if (videoSource->StreamSampleToTime(video.end) - t0 < span) {
        double until = t0 + span;
        total = videoSource->StreamTimeToSample(until) - video.first;
    }
}

bool ConversionRun::interleaveAudio(LONGLONG period, LONGLONG& lastPeriod)
{
    LONGLONG k = static_cast<LONGLONG>((videoSource->StreamSampleToTime(video.current) - t0) * 10000) / period;
    if (k <= lastPeriod)
        return true;
    lastPeriod = k;
    double periodMs = period * 0.0001;
    long limit = audioSource->StreamTimeToSample(periodMs) + audio.current;
    while (audio.current < audio.end && audio.current < limit)
        if (!audioStep())
            return false;
    return true;
}

void ConversionRun::audioTail(const std::atomic<bool>& stop)
{
    long tailStart = audio.current;
    long tailTotal = audio.end - tailStart;
    std::string text = observer.statusText();
    size_t comma = text.find(',');
    statusPrefix = (videoSource && comma != std::string::npos) ? text.substr(0, comma + 1) + " " : "";
    if (audio.current < audio.end) {
        while (!stop.load(std::memory_order_relaxed)) {
            if (!audioStep())
                return;
            observer.progress(percent + static_cast<int>(LONGLONG(audio.current - tailStart) * (100 - percent) / tailTotal));
            if ((audio.current & 0xFFF) == 0)
                showAudioStatus();
            if (audio.current >= audio.end)
                break;
        }
    }
    showAudioStatus();
    if (!output->flushAudio())
        observer.outputError();
}

// One sample (block) decoded, or the next raw chunk.
unsigned char* ConversionRun::readSamples()
{
    if (rawAudio)
        return rawAudio->getData(audio.current, audio.count, audio.bytes, audio.key);
    return decodedAudio->getSamples(audio.current, audio.current);
}

// A raw read went back to an earlier key sample: the range starts there.
void ConversionRun::moveVideoFirst()
{
    video.first = video.current;
    observer.firstMoved(true, video.first);
}

void ConversionRun::moveAudioFirst()
{
    audio.first = audio.current;
    observer.firstMoved(false, audio.first);
}

bool ConversionRun::audioStep()
{
    unsigned char* data = readSamples();
    if (!data) {
        observer.sourceError(false);
        return false;
    }
    if (audio.current < audio.first) {
        moveAudioFirst();
        longerAudioRule();
    }
    if (!output->bufferedWriteSample(audio.current - audio.first, data, audio.count, audio.bytes, audio.key)) {
        observer.outputError();
        return false;
    }
    if (audioSource->isRawData())
        audio.key = false;
    audio.current += audio.count;
    return true;
}

void ConversionRun::showFrameStatus()
{
    char text[64];
    if (audioSource)
        std::snprintf(text, sizeof text, "frame %ld, audio sample %ld", video.current, audio.current);
    else
        std::snprintf(text, sizeof text, "frame %ld", video.current);
    observer.status(text);
}

void ConversionRun::showAudioStatus()
{
    char text[48];
    std::snprintf(text, sizeof text, "audio sample %ld", audio.current);
    observer.status(statusPrefix + text);
}

void ConversionRun::convertInterleaved(const ConversionRange& range, AutomaticInterleaveEngine& interleaver,
                                       bool finishBoth, CriticalSection& lock)
{
    engine = &interleaver;
    statusLock = &lock;
    if (!engine->setOutputStream(output, finishBoth)) {
        observer.outputError();
        return;
    }
    if (!output->start()) {
        // The engine lets go of the output before the report, which may
        // destroy it.
        closeEngineKeepingError();
        observer.outputError();
        return;
    }
    video.first = video.current = range.videoFirst;
    video.end = range.videoLast + 1;
    audio.first = audio.current = range.audioFirst;
    audio.end = range.audioLast + 1;
    bool ran = runWriters();
    if (engine->failed) {
        closeEngineKeepingError();
        observer.outputError();
        return;
    }
    engine->close();
    if (ran && !output->close())
        observer.outputError();
}

// The engine's close flushes the audio buffer, which sets the output's
// lastError again; the error to report is the one from before.
void ConversionRun::closeEngineKeepingError()
{
    int error = output->lastError;
    engine->close();
    output->lastError = error;
}

// Starts the audio writer, then the video writer, and waits for both. When the
// second cannot start, the first is stopped through the engine and waited for
// before the failure is shown.
bool ConversionRun::runWriters()
{
    EventHandle audioDone = StartThread(AudioWriterThread, this, kWriterStack);
    if (!audioDone) {
        observer.threadStartFailed();
        return false;
    }
    EventHandle videoDone = StartThread(VideoWriterThread, this, kWriterStack);
    if (!videoDone) {
        engine->userStop();
        WaitForSingleObject(audioDone.get(), INFINITE);
        observer.threadStartFailed();
        return false;
    }
    HANDLE both[] = {audioDone.get(), videoDone.get()};
    WaitForMultipleObjects(2, both, TRUE, INFINITE);
    return true;
}

DWORD WINAPI ConversionRun::VideoWriterThread(void* run)
{
    TrelixThread();
    static_cast<ConversionRun*>(run)->writeVideo();
    return 0;
}

DWORD WINAPI ConversionRun::AudioWriterThread(void* run)
{
    TrelixThread();
    static_cast<ConversionRun*>(run)->writeAudio();
    return 0;
}

// A false Write means stopped, failed, or the audio ended first without
// finishing both: the engine has released the other writer already.
void ConversionRun::writeVideo()
{
    if (!videoSource)
        return;
    while (video.current < video.end) {
        bool write = true;
        unsigned char* data = readFrame(write);
        if (!data) {
            engine->exit(AutomaticInterleaveEngine::videoThread);
            observer.sourceError(true);
            return;
        }
        if (video.current < video.first)
            moveVideoFirst();
        if (write) {
            if (!engine->Write(AutomaticInterleaveEngine::videoThread, video.current - video.first, data, video.count,
                               video.bytes, video.key))
                return;
            observer.frame(data);
        }
        if (videoSource->isRawData())
            video.key = false;
        video.current += video.count;
        observer.progress(static_cast<int>(LONGLONG(video.current - video.first) * 100 / (video.end - video.first)));
        showWriterFrameStatus();
    }
    engine->exit(AutomaticInterleaveEngine::videoThread);
}

void ConversionRun::writeAudio()
{
    if (!audioSource)
        return;
    while (audio.current < audio.end) {
        unsigned char* data = readSamples();
        if (!data) {
            engine->exit(AutomaticInterleaveEngine::audioThread);
            observer.sourceError(false);
            return;
        }
        if (audio.current < audio.first)
            moveAudioFirst();
        if (!engine->Write(AutomaticInterleaveEngine::audioThread, audio.current - audio.first, data, audio.count,
                           audio.bytes, audio.key))
            return;
        if (audioSource->isRawData())
            audio.key = false;
        audio.current += audio.count;
        if (!videoSource)
            observer.progress(static_cast<int>(LONGLONG(audio.current - audio.first) * 100 / (audio.end - audio.first)));
        if ((audio.current & 0xFFF) == 0)
            showWriterAudioStatus();
    }
    showWriterAudioStatus();
    engine->exit(AutomaticInterleaveEngine::audioThread);
}

// "frame N", followed by the audio writer's part when there is one.
void ConversionRun::showWriterFrameStatus()
{
    auto guard = statusLock->lock();
    std::string old = observer.statusText().substr(0, 127);
    std::string rest;
    if (audioSource && !old.empty()) {
        size_t comma = old.find(',');
        if (comma != std::string::npos)
            rest = old.substr(comma);
        else if (old[0] != 'f')
            rest = ", " + old;
    }
    char text[48];
    std::snprintf(text, sizeof text, "frame %ld", video.current);
    observer.status(text + rest);
}

// "audio sample N" after the video writer's part (up to its comma, or the
// whole text when it has none), or alone.
void ConversionRun::showWriterAudioStatus()
{
    auto guard = statusLock->lock();
    std::string old = observer.statusText().substr(0, 127);
    std::string kept, separator;
    if (videoSource && !old.empty()) {
        size_t comma = old.find(',');
        if (comma != std::string::npos || old[0] != 'a') {
            kept = old.substr(0, comma);
            separator = ", ";
        }
    }
    char text[48];
    std::snprintf(text, sizeof text, "audio sample %ld", audio.current);
    observer.status(kept + separator + text);
}
