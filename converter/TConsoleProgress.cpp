#include "TConsoleProgress.h"

#include <algorithm>

#include "ConversionSetup.h"

namespace {

constexpr ULONGLONG kConsoleInterval = 250;
constexpr ULONGLONG kRedirectedInterval = 3000;

std::string clock(double seconds)
{
    long total = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return text;
}

bool isConsole(HANDLE handle)
{
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != FALSE;
}

} // namespace

bool reportToConsole(AudioOrVideoStream* stream)
{
    if (!stream) {
        std::fprintf(stderr, "Error number 2:\nNot enough memory\n");
        return false;
    }
    if (stream->lastError == 0)
        return true;
    std::fprintf(stderr, "%s\n", streamErrorText(*stream).c_str());
    return stream->resetLastError();
}

TConsoleProgress::TConsoleProgress(SourceStream* video, SourceStream* audio, OutputAVIFile* output, bool fillHollow,
                                   bool quiet)
    : videoSource(video), audioSource(audio), output(output), fill(fillHollow), quiet(quiet),
      console(isConsole(GetStdHandle(STD_OUTPUT_HANDLE))), startTick(GetTickCount64())
{
    if (video && video->duration() > 0)
        msPerFrame = video->msDuration() / video->duration();
    if (audio && audio->duration() > 0 && audio->msDuration() > 0)
        samplesPerSecond = audio->duration() * 1000.0 / audio->msDuration();
}

void TConsoleProgress::setTotals(long frames, long samples)
{
    totalFrames = frames;
    totalSamples = samples;
}

double TConsoleProgress::mediaSecondsDone(long frames, long samples)
{
    if (videoSource && msPerFrame > 0)
        return frames * msPerFrame * 0.001;
    return samplesPerSecond > 0 ? samples / samplesPerSecond : 0;
}

std::string TConsoleProgress::line()
{
    double elapsed = (GetTickCount64() - startTick) * 0.001;
    // The output forgets its counts when it closes, which the engine path
    // does before the last line: the highest counts seen are kept.
    if (videoSource)
        framesDone = std::max(framesDone, output->nextFrame_number());
    if (audioSource)
        samplesDone = std::max(samplesDone, output->nextSample_number_inBuffer());
    long frames = framesDone, samples = samplesDone;
    char text[320];
    int n = std::snprintf(text, sizeof text, "%3d%%", std::clamp(percent, 0, 100));
    if (videoSource)
        n += std::snprintf(text + n, sizeof text - n, "  frame %ld/%ld", frames, totalFrames);
    if (audioSource)
        n += std::snprintf(text + n, sizeof text - n, "  audio sample %ld/%ld", samples, totalSamples);
    // The tick counts in milliseconds (or coarser): a very short run has taken one.
    double rateTime = std::max(elapsed, 0.001);
    if (videoSource)
        n += std::snprintf(text + n, sizeof text - n, "  %.1f fps", frames / rateTime);
    n += std::snprintf(text + n, sizeof text - n, "  %.2fx real time", mediaSecondsDone(frames, samples) / rateTime);
    n += std::snprintf(text + n, sizeof text - n, "  elapsed %s", clock(elapsed).c_str());
    if (percent > 0 && percent < 100)
        std::snprintf(text + n, sizeof text - n, "  left %s", clock(elapsed * (100 - percent) / percent).c_str());
    return text;
}

void TConsoleProgress::show(bool last)
{
    if (quiet)
        return;
    ULONGLONG now = GetTickCount64();
    if (!last && now - lastShown < (console ? kConsoleInterval : kRedirectedInterval))
        return;
    lastShown = now;
    std::string text = line();
    if (console) {
        std::string padding(shownWidth > text.size() ? shownWidth - text.size() : 0, ' ');
        std::printf("\r%s%s%s", text.c_str(), padding.c_str(), last ? "\n" : "");
        shownWidth = text.size();
    } else {
        std::printf("%s\n", text.c_str());
    }
    std::fflush(stdout);
}

void TConsoleProgress::finish()
{
    show(true);
}

void TConsoleProgress::progress(int value)
{
    percent = value;
    show(false);
}

std::string TConsoleProgress::statusText()
{
    return statusLine;
}

void TConsoleProgress::status(const std::string& text)
{
    statusLine = text;
}

void TConsoleProgress::firstMoved(bool video, long first)
{
    if (!quiet)
        std::printf("%s%s range starts at the key %s %ld\n", console && shownWidth ? "\n" : "",
                    video ? "video" : "audio", video ? "frame" : "sample", first);
    shownWidth = 0;
}

bool TConsoleProgress::fillHollow()
{
    return fill;
}

void TConsoleProgress::frame(unsigned char*)
{
}

void TConsoleProgress::sourceError(bool video)
{
    anyError = true;
    reportToConsole(video ? videoSource : audioSource);
}

void TConsoleProgress::outputError()
{
    anyError = true;
    if (!reportToConsole(output))
        outputFatal = true;
}

void TConsoleProgress::threadStartFailed()
{
    anyError = true;
    std::fputs("Cannot create the conversion thread\n", stderr);
}
