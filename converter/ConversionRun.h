#pragma once

#include <atomic>

#include "ConversionObserver.h"
#include "Trelix.h"
#include "core/CriticalSection.h"

// The ranges of one run, both ends inclusive.
struct ConversionRange {
    long videoFirst = 0;
    long videoLast = -1;
    long audioFirst = 0;
    long audioLast = -1;
};

// One conversion, on either of two paths. Holds no window: everything it
// shows goes through the observer.
// Plain path (convertStreams): reads video frame by frame and, after each
// frame that enters a new interleaving period, one period of audio; then the
// audio tail.
// Engine path (convertInterleaved, for outputs that interleave by
// themselves): a video writer thread and an audio writer thread hand their
// data to the interleave engine, which orders the writes. Each writer touches
// only its own source and position; the status line is rebuilt by both under
// the caller's status lock.
class ConversionRun {
public:
    ConversionRun(SourceStream* video, SourceStream* audio, OutputAVIFile* output, ConversionObserver& observer);
    void convertStreams(const ConversionRange& range, const std::atomic<bool>& stop);
    // Binds and starts the output, runs both writers until they end, then
    // closes the engine and the output (the latter unless a write failed).
    // The engine is left unbound on every path.
    void convertInterleaved(const ConversionRange& range, AutomaticInterleaveEngine& engine, bool finishBoth,
                            CriticalSection& statusLock);

    // The writer threads' functions; the argument is the run.
    static DWORD WINAPI VideoWriterThread(void* run);
    static DWORD WINAPI AudioWriterThread(void* run);

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
    unsigned char* readSamples();
    void moveVideoFirst();
    void moveAudioFirst();
    bool runWriters();
    void closeEngineKeepingError();
    void writeVideo();
    void writeAudio();
    void showWriterFrameStatus();
    void showWriterAudioStatus();
    void showFrameStatus();
    void showAudioStatus();

    SourceStream* videoSource;
    SourceStream* audioSource;
    OutputAVIFile* output;
    ConversionObserver& observer;
    // The sources' own kinds, cast once: a cast per audio sample costs a
    // fifth of a decoded conversion's time.
    RawDataSourceStream* rawVideo;
    VideoSourceStream* decodedVideo;
    RawDataSourceStream* rawAudio;
    AudioSourceStream* decodedAudio;
    Position video;
    Position audio;
    long total = 1;
    int percent = 0;
    double t0 = 0;
    bool inVideoSection = false;
    std::string statusPrefix;
    // Engine path only.
    AutomaticInterleaveEngine* engine = nullptr;
    CriticalSection* statusLock = nullptr;
};
