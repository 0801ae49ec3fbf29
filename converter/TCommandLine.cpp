#include "TCommandLine.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace {

const char kHelp[] =
    "Usage: VandrelCmd.exe [options] INPUT OUTPUT.avi [INPUT OUTPUT.avi ...]\n"
    "       VandrelCmd.exe [options] --batch LISTFILE\n"
    "\n"
    "Converts the video and audio of each INPUT into the AVI file OUTPUT, one pair\n"
    "after the other, the way Vandrel.exe does for the same choices.\n"
    "\n"
    "Sources:\n"
    "  --audio FILE               audio from FILE instead of INPUT\n"
    "  --video-track N            video stream N of INPUT (default 0)\n"
    "  --audio-track N            audio stream N (default 0)\n"
    "  --no-video                 audio only\n"
    "  --no-audio                 video only\n"
    "  --video-backend B          auto, directshow or vfw (default auto)\n"
    "  --audio-backend B          auto, directshow or acm (default auto)\n"
    "  --copy-video               direct stream copy of the video (no decoding)\n"
    "  --copy-audio               direct stream copy of the audio\n"
    "  --frames FIRST:LAST        video frames to convert, both included; either\n"
    "                             may be left out (default: the whole stream)\n"
    "  --samples FIRST:LAST       audio samples to convert, likewise\n"
    "  --fill-hollow              write the previous frame again where a frame\n"
    "                             is missing from the source\n"
    "Output:\n"
    "  --output-backend B         directshow or vfw (default directshow)\n"
    "  --video-compressor NAME    compress the video (an unknown NAME lists the\n"
    "                             available ones); default: uncompressed\n"
    "  --audio-compressor NAME    compress the audio, likewise\n"
    "  --interleave SECONDS       AVI interleaving period (default 0.75)\n"
    "  --truncate                 end the output with the shorter stream (writers\n"
    "                             that interleave by themselves)\n"
    "  --overwrite                replace an existing OUTPUT (without it an\n"
    "                             existing file is an error and stays untouched)\n"
    "Other:\n"
    "  --batch LISTFILE           read INPUT OUTPUT pairs, one per line; names\n"
    "                             with blanks in double quotes, '#' comments\n"
    "  --quiet                    no progress output\n"
    "  --help                     this text\n"
    "\n"
    "Exit code: 0 all pairs converted, 1 a conversion failed, 2 bad command line\n"
    "or unknown compressor name (nothing written for it), 3 stopped by Ctrl+C.\n";

bool parseCount(const std::string& text, long limit, long& value)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno || *end || parsed > limit)
        return false;
    value = static_cast<long>(parsed);
    return true;
}

// FIRST:LAST with either side empty; the run's end is LAST + 1, so LAST stays
// below the largest count.
bool parseRange(const std::string& text, long& first, long& last)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
        return false;
    std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    first = last = -1;
    if (!a.empty() && !parseCount(a, LONG_MAX - 1, first))
        return false;
    if (!b.empty() && !parseCount(b, LONG_MAX - 1, last))
        return false;
    return first < 0 || last < 0 || first <= last;
}

bool parseBackend(const std::string& text, const char* vfwName, SourceBackend& backend)
{
    if (text == "auto")
        backend = SourceBackend::Automatic;
    else if (text == "directshow")
        backend = SourceBackend::DirectShow;
    else if (text == vfwName)
        backend = SourceBackend::VfW;
    else
        return false;
    return true;
}

bool parseSeconds(const std::string& text, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(seconds) && seconds > 0 && seconds <= 3600;
}

// One option that takes a value; false with `error` set when the value is bad.
bool takeValue(const std::string& name, const std::string& value, TCommandSettings& s, std::string& error)
{
    long number = 0;
    bool ok = true;
    if (name == "--audio")
        s.audioFile = value, ok = !value.empty();
    else if (name == "--video-track")
        ok = parseCount(value, INT_MAX, number), s.videoTrack = int(number), s.videoTrackGiven = true;
    else if (name == "--audio-track")
        ok = parseCount(value, INT_MAX, number), s.audioTrack = int(number), s.audioTrackGiven = true;
    else if (name == "--video-backend")
        ok = parseBackend(value, "vfw", s.videoBackend);
    else if (name == "--audio-backend")
        ok = parseBackend(value, "acm", s.audioBackend);
    else if (name == "--output-backend")
        ok = (value == "directshow" || value == "vfw"), s.outputDirectShow = value == "directshow";
    else if (name == "--frames")
        ok = parseRange(value, s.videoFirst, s.videoLast);
    else if (name == "--samples")
        ok = parseRange(value, s.audioFirst, s.audioLast);
    else if (name == "--interleave")
        ok = parseSeconds(value, s.interleaveSeconds);
    else if (name == "--video-compressor")
        s.videoCompressor = value, ok = !value.empty();
    else if (name == "--audio-compressor")
        s.audioCompressor = value, ok = !value.empty();
    else if (name == "--batch")
        return readBatchFile(value, s, error);
    if (!ok)
        error = "bad value for " + name + ": \"" + value + "\"";
    return ok;
}

bool takeFlag(const std::string& name, TCommandSettings& s)
{
    bool* flags[] = {&s.noVideo, &s.noAudio, &s.copyVideo, &s.copyAudio, &s.fillHollow,
                     &s.truncate, &s.overwrite, &s.quiet, &s.help};
    const char* names[] = {"--no-video", "--no-audio", "--copy-video", "--copy-audio", "--fill-hollow",
                           "--truncate", "--overwrite", "--quiet", "--help"};
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i)
        if (name == names[i])
            return *flags[i] = true;
    return false;
}

bool isValueOption(const std::string& name)
{
    for (const char* known : {"--audio", "--video-track", "--audio-track", "--video-backend", "--audio-backend",
                              "--output-backend", "--frames", "--samples", "--interleave", "--video-compressor",
                              "--audio-compressor", "--batch"})
        if (name == known)
            return true;
    return false;
}

bool checkCombination(const TCommandSettings& s, std::string& error)
{
    if (s.noVideo && s.noAudio)
        error = "--no-video and --no-audio leave nothing to convert";
    else if (s.noVideo && (s.copyVideo || !s.videoCompressor.empty() || s.videoFirst >= 0 || s.videoLast >= 0))
        error = "video options given with --no-video";
    else if (s.noAudio && (s.copyAudio || !s.audioCompressor.empty() || !s.audioFile.empty() || s.audioFirst >= 0 ||
                           s.audioLast >= 0))
        error = "audio options given with --no-audio";
    else if (s.copyVideo && !s.videoCompressor.empty())
        error = "--copy-video stores the video as it is: no --video-compressor";
    else if (s.copyAudio && !s.audioCompressor.empty())
        error = "--copy-audio stores the audio as it is: no --audio-compressor";
    else if (s.jobs.empty())
        error = "no INPUT OUTPUT pair given (see --help)";
    return error.empty();
}

// Splits a line at blanks; double quotes group a name with blanks.
bool splitLine(const std::string& line, std::vector<std::string>& words)
{
    std::string word;
    bool quoted = false, inWord = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return !quoted;
}

} // namespace

const char* commandLineHelp()
{
    return kHelp;
}

bool readBatchFile(const std::string& fileName, TCommandSettings& settings, std::string& error)
{
    std::ifstream file(fileName);
    if (!file) {
        error = "cannot read the list file \"" + fileName + "\"";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        std::vector<std::string> words;
        bool closed = splitLine(line, words);
        if (closed && (words.empty() || words[0][0] == '#'))
            continue;
        if (!closed || words.size() != 2) {
            error = fileName + ", line " + std::to_string(number) + ": expected INPUT OUTPUT";
            return false;
        }
        settings.jobs.emplace_back(words[0], words[1]);
    }
    return true;
}

bool parseCommandLine(const std::vector<std::string>& arguments, TCommandSettings& settings, std::string& error)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            names.push_back(argument);
            continue;
        }
        size_t equals = argument.find('=');
        std::string name = argument.substr(0, equals);
        if (isValueOption(name)) {
            if (equals == std::string::npos && i + 1 >= arguments.size()) {
                error = name + " needs a value";
                return false;
            }
            std::string value = equals != std::string::npos ? argument.substr(equals + 1) : arguments[++i];
            if (!takeValue(name, value, settings, error))
                return false;
        } else if (equals != std::string::npos || !takeFlag(name, settings)) {
            error = "unknown option " + argument + " (see --help)";
            return false;
        }
    }
    if (settings.help)
        return true;
    if (names.size() % 2) {
        error = "no OUTPUT for \"" + names.back() + "\"";
        return false;
    }
    for (size_t i = 0; i < names.size(); i += 2)
        settings.jobs.emplace_back(names[i], names[i + 1]);
    return checkCombination(settings, error);
}
