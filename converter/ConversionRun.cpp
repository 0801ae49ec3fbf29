#include "ConversionRun.h"

#include <cstdio>

ConversionRun::ConversionRun(SourceStream* video, SourceStream* audio, OutputAVIFile* output,
                             ConversionObserver& observer)
    : videoSource(video), audioSource(audio), output(output), observer(observer)
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
            video.first = video.current;
            observer.firstMoved(true, video.first);
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
    if (videoSource->isRawData())
        return dynamic_cast<RawDataSourceStream*>(videoSource)
            ->getData(video.current, video.count, video.bytes, video.key);
    long n = video.current;
    unsigned char* data = dynamic_cast<VideoSourceStream*>(videoSource)->getFrameBits(n);
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

bool ConversionRun::audioStep()
{
    unsigned char* data;
    if (audioSource->isRawData())
        data = dynamic_cast<RawDataSourceStream*>(audioSource)
                   ->getData(audio.current, audio.count, audio.bytes, audio.key);
    else
        data = dynamic_cast<AudioSourceStream*>(audioSource)->getSamples(audio.current, audio.current);
    if (!data) {
        observer.sourceError(false);
        return false;
    }
    if (audio.current < audio.first) {
        audio.first = audio.current;
        observer.firstMoved(false, audio.first);
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
