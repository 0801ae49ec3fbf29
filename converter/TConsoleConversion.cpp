#include "TConsoleConversion.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ConversionSetup.h"
#include "TConsoleProgress.h"

namespace {

bool sameName(const std::string& a, const std::string& b)
{
    return _stricmp(a.c_str(), b.c_str()) == 0;
}

bool fileExists(const std::string& name)
{
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Streams of each kind in a file, through AVIFile first unless DirectShow is
// asked for; -1 when no probe could count them. AVIFile finds no stream in a
// file it cannot read, so with the automatic choice DirectShow counts again.
void countStreams(std::string file, SourceBackend backend, int& videoCount, int& audioCount)
{
    videoCount = audioCount = -1;
    for (bool directShow : {false, true}) {
        if ((backend == SourceBackend::DirectShow && !directShow) || (backend == SourceBackend::VfW && directShow))
            continue;
        int v = 0, a = 0;
        bool last = directShow || backend == SourceBackend::VfW;
        if (MediaContainer::streamsNumber(&file[0], directShow, &v, &a) == MediaContainer::Success &&
            (v + a > 0 || last)) {
            videoCount = v;
            audioCount = a;
            return;
        }
    }
}

void listNames(const char* kind, const std::string& name, const std::vector<std::string>& names)
{
    std::fprintf(stderr, "VandrelCmd: unknown %s compressor \"%s\"; available for this stream:\n", kind, name.c_str());
    for (const std::string& known : names)
        std::fprintf(stderr, "  %s\n", known.c_str());
    if (names.empty())
        std::fprintf(stderr, "  (none)\n");
}

// Answers the library's interleaving-period dialog on this thread with a
// value, as a user would type it; a refusal box closes both.
struct PeriodAnswer {
    char text[32];
    HWND dialog;
    bool refused;
};
thread_local PeriodAnswer periodAnswer;

LRESULT CALLBACK answerPeriodDialog(int code, WPARAM wParam, LPARAM lParam)
{
    const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && message->message == WM_INITDIALOG) {
        char caption[64] = "";
        GetWindowTextA(message->hwnd, caption, sizeof caption);
        if (!periodAnswer.dialog && std::strcmp(caption, "AVI interleaving period") == 0) {
            periodAnswer.dialog = message->hwnd;
            SetDlgItemTextA(message->hwnd, 101, periodAnswer.text);
            PostMessageA(message->hwnd, WM_COMMAND, IDOK, 0);
        } else if (periodAnswer.dialog) {
            periodAnswer.refused = true;
            PostMessageA(message->hwnd, WM_COMMAND, IDOK, 0);
            PostMessageA(periodAnswer.dialog, WM_COMMAND, IDCANCEL, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace

TConsoleConversion::TConsoleConversion(const TCommandSettings& settings, const std::atomic<bool>& stop)
    : settings(settings), stop(stop)
{
}

TConsoleConversion::~TConsoleConversion()
{
    // The output points at the sources' records: it goes first.
    output.reset();
}

TConsoleConversion::Result TConsoleConversion::convert(const std::string& input, const std::string& outputName)
{
    if (!outputAllowed(input, outputName) || !openSources(input) || !setRanges())
        return Failed;
    if (!findCompressors())
        return unknownCompressor ? BadChoice : Failed;
    if (!createOutput(outputName) || !setInterleaving())
        return Failed;
    return run() ? Converted : Failed;
}

bool TConsoleConversion::outputAllowed(const std::string& input, const std::string& outputName)
{
    const char* refusal = nullptr;
    if (!fileExists(input))
        refusal = "cannot find the input";
    else if (sameName(input, outputName) || (!settings.audioFile.empty() && sameName(settings.audioFile, outputName)))
        refusal = "the output would replace a source";
    else if (fileExists(outputName) && !settings.overwrite)
        refusal = "the output exists (--overwrite replaces it)";
    if (refusal)
        std::fprintf(stderr, "VandrelCmd: %s -> %s: %s\n", input.c_str(), outputName.c_str(), refusal);
    return !refusal;
}

// A kind of stream the file does not have is left out unless its track was
// asked for, as the dialog's user would choose "video" or "audio" alone.
bool TConsoleConversion::streamPresent(bool isVideo, const std::string& file, int count, int given)
{
    if (count != 0 || given)
        return true;
    if (!settings.quiet)
        std::printf("%s has no %s stream: converting the %s alone\n", file.c_str(), isVideo ? "video" : "audio",
                    isVideo ? "audio" : "video");
    return false;
}

bool TConsoleConversion::openSources(std::string input)
{
    bool sameFileAudio = settings.audioFile.empty();
    int videoCount = -1, audioCount = -1;
    countStreams(input, settings.noVideo ? settings.audioBackend : settings.videoBackend, videoCount, audioCount);
    bool wantVideo = !settings.noVideo && streamPresent(true, input, videoCount, settings.videoTrackGiven);
    bool wantAudio = !settings.noAudio &&
                     (!sameFileAudio || streamPresent(false, input, audioCount, settings.audioTrackGiven));
    if (!wantVideo && !wantAudio) {
        std::fprintf(stderr, "VandrelCmd: %s: no stream to convert\n", input.c_str());
        return false;
    }
    if (wantVideo && !openSource(true, input))
        return false;
    return !wantAudio || openSource(false, sameFileAudio ? input : settings.audioFile);
}

bool TConsoleConversion::openSource(bool isVideo, std::string file)
{
    bool raw = isVideo ? settings.copyVideo : settings.copyAudio;
    SourceBackend backend = isVideo ? settings.videoBackend : settings.audioBackend;
    int track = isVideo ? settings.videoTrack : settings.audioTrack;
    std::unique_ptr<SourceStream>& source = isVideo ? video : audio;
    source.reset(openSourceStream(&file[0], isVideo, raw, backend, track));
    if (reportToConsole(source.get()))
        return true;
    source.reset();
    std::fprintf(stderr, "VandrelCmd: cannot open %s stream %d of %s\n", isVideo ? "video" : "audio", track,
                 file.c_str());
    return false;
}

// The range edits as the dialog fills them (a raw stream starts at its first
// key sample), with the given values and the dialog's range rule.
bool TConsoleConversion::setRanges()
{
    for (SourceStream* source : {video.get(), audio.get()}) {
        if (!source)
            continue;
        bool isVideo = source == video.get();
        long duration = source->duration();
        long first = isVideo ? settings.videoFirst : settings.audioFirst;
        long last = isVideo ? settings.videoLast : settings.audioLast;
        if (first < 0)
            first = source->isRawData() ? dynamic_cast<RawDataSourceStream*>(source)->firstKeySample() : 0;
        if (duration < 0 || first < 0) {
            reportToConsole(source);
            return false;
        }
        if (last < 0)
            last = duration - 1;
        clampRange(duration, first, last);
        (isVideo ? range.videoFirst : range.audioFirst) = first;
        (isVideo ? range.videoLast : range.audioLast) = last;
    }
    return true;
}

bool TConsoleConversion::findCompressors()
{
    return (!video || settings.videoCompressor.empty() || findVideoCompressor()) &&
           (!audio || settings.audioCompressor.empty() || findAudioCompressor());
}

bool TConsoleConversion::unknownName(const char* kind, const std::string& name, const std::vector<std::string>& names)
{
    listNames(kind, name, names);
    unknownCompressor = true;
    return false;
}

bool TConsoleConversion::findVideoCompressor()
{
    const std::string& name = settings.videoCompressor;
    std::vector<std::string> names;
    if (settings.outputDirectShow)
        return TCompressorNames::findDirectShowCompressor(name, true, videoMoniker, names) ||
               unknownName("video", name, names);
    const VIDEOINFOHEADER* input = video->videoInfo(videoInfo);
    if (!input) {
        reportToConsole(video.get());
        return false;
    }
    return TCompressorNames::findVideoCompressor(name, input->bmiHeader, videoOptions, names) ||
           unknownName("video", name, names);
}

bool TConsoleConversion::findAudioCompressor()
{
    const std::string& name = settings.audioCompressor;
    std::vector<std::string> names;
    if (settings.outputDirectShow)
        return TCompressorNames::findDirectShowCompressor(name, false, audioMoniker, names) ||
               unknownName("audio", name, names);
    const WAVEFORMATEX* input = dynamic_cast<AudioSourceStream*>(audio.get())->format();
    if (!input) {
        reportToConsole(audio.get());
        return false;
    }
    if (!TCompressorNames::findAudioFormat(name, *input, audioFormat, names))
        return unknownName("audio", name, names);
    audioOptions.fccType = streamtypeAUDIO;
    audioOptions.lpFormat = audioFormat.data();
    audioOptions.cbFormat = static_cast<DWORD>(audioFormat.size());
    return true;
}

// As the dialog's output choice: created from the sources and the raw
// choices, reported, its period asked for and reported; then the compressors.
bool TConsoleConversion::createOutput(const std::string& outputName)
{
    bool compressVideo = video && !settings.videoCompressor.empty();
    bool compressAudio = audio && !settings.audioCompressor.empty();
    output.reset(createOutputFor(outputName.c_str(), video.get(), audio.get(), !compressVideo, !compressAudio,
                                 settings.outputDirectShow, videoInfo));
    if (!reportToConsole(output.get()))
        return false;
    output->interleavingPeriod();
    if (!reportToConsole(output.get()))
        return false;
    for (bool isVideo : {true, false}) {
        if (!(isVideo ? compressVideo : compressAudio))
            continue;
        void* record = settings.outputDirectShow ? static_cast<void*>((isVideo ? videoMoniker : audioMoniker).get())
                                                 : static_cast<void*>(isVideo ? &videoOptions : &audioOptions);
        if (!output->setCompressor(isVideo, record)) {
            reportToConsole(output.get());
            std::fprintf(stderr, "VandrelCmd: the output does not take the %s compressor\n", isVideo ? "video" : "audio");
            return false;
        }
    }
    return true;
}

bool TConsoleConversion::setInterleaving()
{
    if (settings.interleaveSeconds <= 0)
        return true;
    periodAnswer = PeriodAnswer{};
    std::snprintf(periodAnswer.text, sizeof periodAnswer.text, "%.7f", settings.interleaveSeconds);
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROCRET, answerPeriodDialog, nullptr, GetCurrentThreadId());
    output->configureAVI(nullptr);
    if (hook)
        UnhookWindowsHookEx(hook);
    if (!reportToConsole(output.get()))
        return false;
    if (periodAnswer.refused || !periodAnswer.dialog) {
        std::fprintf(stderr, "VandrelCmd: the output did not take the interleaving period %s s\n", periodAnswer.text);
        return false;
    }
    return true;
}

// The one place where a run chooses its path: an output that interleaves by
// itself (the DirectShow writer) takes the engine path, as in the dialog,
// with finishBoth = !--truncate; every other output the plain path.
bool TConsoleConversion::run()
{
    if (!output->canRun()) {
        reportToConsole(output.get());
        std::fprintf(stderr, "VandrelCmd: the output cannot start\n");
        return false;
    }
    TConsoleProgress progress(video.get(), audio.get(), output.get(), settings.fillHollow, settings.quiet);
    progress.setTotals(video ? range.videoLast - range.videoFirst + 1 : 0,
                       audio ? range.audioLast - range.audioFirst + 1 : 0);
    ConversionRun conversion(video.get(), audio.get(), output.get(), progress);
    if (output->isAutomaticallyInterleaved()) {
        runInterleaved(conversion);
        progress.finish();
    } else {
        conversion.convertStreams(range, stop);
        // The counts come from the output, which forgets them when it closes.
        progress.finish();
        if (!progress.outputUnusable() && !output->close())
            progress.outputError();
    }
    output.reset();
    if (stop && !settings.quiet)
        std::printf("stopped: the output is closed\n");
    return !progress.failed() && !stop;
}

namespace {

// Hands Ctrl+C to the engine, whose writers read no stop flag.
struct StopWatch {
    const std::atomic<bool>& stop;
    AutomaticInterleaveEngine& engine;
    std::atomic<bool> ended{false};
};

DWORD WINAPI watchStop(void* argument)
{
    auto* watch = static_cast<StopWatch*>(argument);
    while (!watch->ended) {
        if (watch->stop) {
            watch->engine.userStop();
            break;
        }
        Sleep(50);
    }
    return 0;
}

} // namespace

// The engine path: the shared run's two writers through the engine, which
// also closes the output.
void TConsoleConversion::runInterleaved(ConversionRun& conversion)
{
    AutomaticInterleaveEngine engine;
    CriticalSection statusLock;
    StopWatch watch{stop, engine};
    HANDLE watcher = CreateThread(nullptr, 0, watchStop, &watch, 0, nullptr);
    conversion.convertInterleaved(range, engine, !settings.truncate, statusLock);
    watch.ended = true;
    if (watcher) {
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
    }
}

int runVandrelCmd(const std::vector<std::string>& arguments, const std::atomic<bool>& stop)
{
    TCommandSettings settings;
    std::string error;
    if (!parseCommandLine(arguments, settings, error)) {
        std::fprintf(stderr, "VandrelCmd: %s\n", error.c_str());
        return 2;
    }
    if (settings.help) {
        std::fputs(commandLineHelp(), stdout);
        return 0;
    }
    if (settings.interleaveSeconds > 0 && settings.outputDirectShow) {
        std::fprintf(stderr, "VandrelCmd: --interleave sets the VfW writer's period: use it with --output-backend vfw\n");
        return 2;
    }
    int worst = TConsoleConversion::Converted;
    size_t converted = 0;
    for (const auto& job : settings.jobs) {
        if (stop)
            break;
        if (!settings.quiet)
            std::printf("%s -> %s\n", job.first.c_str(), job.second.c_str());
        TConsoleConversion conversion(settings, stop);
        int result = conversion.convert(job.first, job.second);
        converted += result == TConsoleConversion::Converted;
        worst = std::max(worst, result);
    }
    if (!settings.quiet && settings.jobs.size() > 1)
        std::printf("%zu of %zu converted\n", converted, settings.jobs.size());
    std::fflush(stdout);
    return stop ? 3 : worst;
}
