#pragma once

#include <atomic>

#include "ConversionObserver.h"
#include "Trelix.h"

// The ranges of one run, both ends inclusive.
struct ConversionRange {
    long videoFirst = 0;
    long videoLast = -1;
    long audioFirst = 0;
    long audioLast = -1;
};

// The plain-path loop: reads video frame by frame and, after each frame that
// enters a new interleaving period, one period of audio; then the audio tail.
// Holds no window: everything it shows goes through the observer.
class ConversionRun {
public:
    ConversionRun(SourceStream* video, SourceStream* audio, OutputAVIFile* output, ConversionObserver& observer);
    void convertStreams(const ConversionRange& range, const std::atomic<bool>& stop);

private:
    struct Position {
        long first = 0;
        long current = 0;
        long end = 0;
        long count = 1;
        long bytes = -1;
        bool key = true;
    };

    bool videoSection(const ConversionRange& range, const std::atomic<bool>& stop);
    unsigned char* readFrame(bool& write);
    void longerAudioRule();
    bool interleaveAudio(LONGLONG period, LONGLONG& lastPeriod);
    void audioTail(const std::atomic<bool>& stop);
    bool audioStep();
    void showFrameStatus();
    void showAudioStatus();

    SourceStream* videoSource;
    SourceStream* audioSource;
    OutputAVIFile* output;
    ConversionObserver& observer;
    Position video;
    Position audio;
    long total = 1;
    int percent = 0;
    double t0 = 0;
    bool inVideoSection = false;
    std::string statusPrefix;
};
