#pragma once

#include <cstdio>
#include <string>

#include "ConversionObserver.h"
#include "Trelix.h"

// The console's side of a run: one progress line (percent, frames and
// samples done, rate, elapsed and remaining time), rewritten in place on a
// console and printed every few seconds when the output is redirected; the
// library's error texts on standard error.
class TConsoleProgress : public ConversionObserver {
public:
    TConsoleProgress(SourceStream* video, SourceStream* audio, OutputAVIFile* output, bool fillHollow, bool quiet);
    // The totals of the run, in frames and samples.
    void setTotals(long frames, long samples);
    // The last line, shown once the run has ended.
    void finish();
    bool failed() const { return anyError; }
    bool outputUnusable() const { return outputFatal; }

    void progress(int percent) override;
    std::string statusText() override;
    void status(const std::string& text) override;
    void firstMoved(bool video, long first) override;
    bool fillHollow() override;
    void frame(unsigned char* data) override;
    void sourceError(bool video) override;
    void outputError() override;
    void threadStartFailed() override;

private:
    void show(bool last);
    std::string line();
    double mediaSecondsDone(long frames, long samples);

    SourceStream* videoSource;
    SourceStream* audioSource;
    OutputAVIFile* output;
    bool fill;
    bool quiet;
    bool console;
    long framesDone = 0;
    long samplesDone = 0;
    long totalFrames = 0;
    long totalSamples = 0;
    double msPerFrame = 0;
    double samplesPerSecond = 0;
    ULONGLONG startTick;
    ULONGLONG lastShown = 0;
    int percent = 0;
    size_t shownWidth = 0;
    std::string statusLine;
    bool anyError = false;
    bool outputFatal = false;
};

// Prints a library error of `stream` on standard error (nothing when it has
// none) and clears it; false when the error left the object unusable.
bool reportToConsole(AudioOrVideoStream* stream);
