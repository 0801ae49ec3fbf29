#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ConversionSetup.h"

// The choices of VandrelCmd.exe: the dialog's controls as options, applied to
// every INPUT OUTPUT pair.
struct TCommandSettings {
    std::string audioFile;
    int videoTrack = 0;
    int audioTrack = 0;
    bool videoTrackGiven = false;
    bool audioTrackGiven = false;
    bool noVideo = false;
    bool noAudio = false;
    SourceBackend videoBackend = SourceBackend::Automatic;
    SourceBackend audioBackend = SourceBackend::Automatic;
    bool outputDirectShow = true;
    bool copyVideo = false;
    bool copyAudio = false;
    // -1: the stream's own first or last position.
    long videoFirst = -1;
    long videoLast = -1;
    long audioFirst = -1;
    long audioLast = -1;
    bool fillHollow = false;
    bool truncate = false;
    double interleaveSeconds = 0;
    std::string videoCompressor;
    std::string audioCompressor;
    bool overwrite = false;
    bool quiet = false;
    bool help = false;
    std::vector<std::pair<std::string, std::string>> jobs;
};

// Reads the arguments (without the program name) into `settings`; false with
// `error` set on a bad option, value or pair.
bool parseCommandLine(const std::vector<std::string>& arguments, TCommandSettings& settings, std::string& error);
// Reads one INPUT OUTPUT pair per line of a list file (blank lines and lines
// starting with '#' skipped; names with blanks in double quotes).
bool readBatchFile(const std::string& fileName, TCommandSettings& settings, std::string& error);
const char* commandLineHelp();
