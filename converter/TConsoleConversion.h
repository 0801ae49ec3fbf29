#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ConversionRun.h"
#include "TCommandLine.h"
#include "TCompressorNames.h"

// One INPUT OUTPUT pair of the console converter: opens the sources and
// creates the output as the dialog does for the same choices, then runs the
// shared conversion loop.
class TConsoleConversion {
public:
    enum Result { Converted = 0, Failed = 1, BadChoice = 2 };

    TConsoleConversion(const TCommandSettings& settings, const std::atomic<bool>& stop);
    ~TConsoleConversion();
    Result convert(const std::string& input, const std::string& outputName);

private:
    bool outputAllowed(const std::string& input, const std::string& outputName);
    bool openSources(std::string input);
    bool streamPresent(bool video, const std::string& file, int count, int given);
    bool openSource(bool video, std::string file);
    bool setRanges();
    bool findCompressors();
    bool findVideoCompressor();
    bool findAudioCompressor();
    bool unknownName(const char* kind, const std::string& name, const std::vector<std::string>& names);
    bool createOutput(const std::string& outputName);
    bool setInterleaving();
    bool run();
    void runInterleaved(ConversionRun& conversion);

    const TCommandSettings& settings;
    const std::atomic<bool>& stop;
    std::unique_ptr<SourceStream> video;
    std::unique_ptr<SourceStream> audio;
    ConversionRange range;
    // Records the output points to: they outlive it.
    VIDEOINFOHEADER videoInfo{};
    AVICOMPRESSOPTIONS videoOptions{};
    AVICOMPRESSOPTIONS audioOptions{};
    std::vector<BYTE> audioFormat;
    ComPtr<IMoniker> videoMoniker;
    ComPtr<IMoniker> audioMoniker;
    std::unique_ptr<OutputAVIFile> output;
    bool unknownCompressor = false;
};

// Runs the whole command line; returns the program's exit code.
int runVandrelCmd(const std::vector<std::string>& arguments, const std::atomic<bool>& stop);
