// Conversion throughput on AVIFile, VCM and ACM.
//
//   ConvertBenchmark make SRC SECONDS WIDTH HEIGHT   a 25 fps 24-bit AVI with 44.1 kHz stereo PCM
//   ConvertBenchmark decoded SRC OUT                 decoded sources into an uncompressed output,
//                                                    audio one sample per getSamples call
//   ConvertBenchmark copy SRC OUT                    raw sources into a copying output
//   ConvertBenchmark program decoded|copy on|off SRC OUT
//                                                    the same through the converter's run
//                                                    (ConversionRun), preview on or off
//
// Each conversion prints one line: frames, samples, seconds, frames per
// second, MB/s of stream data, and the seconds spent on audio.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ConversionRun.h"
#include "ConversionSetup.h"
#include "PreviewResampler.h"
#include "BenchClock.h"
#include "Trelix.h"

namespace {

constexpr LONGLONG kFramePeriod = 400000;

using Clock = BenchClock;

WAVEFORMATEX stereo44k()
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 4;
    format.nAvgBytesPerSec = 44100 * 4;
    return format;
}

VIDEOINFOHEADER rgb(LONG width, LONG height)
{
    VIDEOINFOHEADER info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    info.bmiHeader.biSizeImage = ((width * 3 + 3) & ~3) * height;
    info.AvgTimePerFrame = kFramePeriod;
    return info;
}

int fail(const char* what, AudioOrVideoStream* object)
{
    std::fprintf(stderr, "%s failed: %d %s\n", what, object ? object->lastError : -1,
                 object && object->ErrorMessage(object->lastError) ? object->ErrorMessage(object->lastError) : "");
    return 1;
}

// Audio samples due once frame `frame` is written: one interleaving period ahead.
long audioDue(long frame, LONGLONG period, long rate, long length)
{
    LONGLONG periodEnd = ((frame + 1) * kFramePeriod / period + 1) * period;
    LONGLONG due = periodEnd * rate / 10000000;
    return static_cast<long>(due < length ? due : length);
}

int make(const char* path, int seconds, LONG width, LONG height)
{
    VIDEOINFOHEADER video = rgb(width, height);
    WAVEFORMATEX audio = stereo44k();
    std::unique_ptr<OutputAVIFile> out(OutputAVIFile::create(path, &video, false, &audio, false, false));
    if (!out || out->lastError || !out->start())
        return fail("create", out.get());
    std::vector<unsigned char> frame(video.bmiHeader.biSizeImage);
    std::vector<short> tone(44100 / 25 * 2);
    long frames = seconds * 25, sample = 0;
    for (long f = 0; f < frames; ++f) {
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = static_cast<unsigned char>(i * 3 + f * 5);
        if (!out->writeFrame(f, frame.data(), 1, -1, true))
            return fail("writeFrame", out.get());
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = static_cast<short>(8000 * std::sin((sample * 2 + static_cast<long>(i)) * 0.03));
        if (!out->bufferedWriteSample(sample, reinterpret_cast<unsigned char*>(tone.data()), 1764, -1, true))
            return fail("bufferedWriteSample", out.get());
        sample += 1764;
    }
    if (!out->flushAudio())
        return fail("flushAudio", out.get());
    out->close();
    return 0;
}

void report(const char* name, long frames, long samples, double bytes, double seconds, double audioSeconds)
{
    std::printf("%s: frames=%ld samples=%ld seconds=%.3f fps=%.1f MBps=%.1f audio_seconds=%.3f\n", name, frames,
                samples, seconds, frames / seconds, bytes / seconds / 1e6, audioSeconds);
}

int decoded(char* source, const char* target)
{
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(source, false, 0, nullptr));
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(source, false, 0, nullptr));
    if (!video || video->lastError)
        return fail("video source", video.get());
    if (!audio || audio->lastError)
        return fail("audio source", audio.get());
    VIDEOINFOHEADER info;
    video->videoInfo(info);
    std::unique_ptr<OutputAVIFile> out(OutputAVIFile::create(target, &info, true, audio->format(), true, false));
    if (!out || out->lastError || !out->setCompressor(true, nullptr) || !out->setCompressor(false, nullptr)
        || !out->start())
        return fail("output", out.get());
    Clock clock;
    double audioSeconds = 0;
    long frames = video->duration(), length = audio->duration(), done = 0;
    LONGLONG period = out->interleavingPeriod();
    long rate = audio->format()->nSamplesPerSec;
    for (long f = 0; f < frames; ++f) {
        long frame = f;
        unsigned char* bits = video->getFrameBits(frame);
        if (!bits || !out->writeFrame(f, bits, 1, -1, true))
            return fail("frame", bits ? static_cast<AudioOrVideoStream*>(out.get()) : video.get());
        Clock audioClock;
        for (long due = audioDue(f, period, rate, length); done < due; ++done) {
            unsigned char* block = audio->getSamples(done, done);
            if (!block || !out->bufferedWriteSample(done, block, 1, -1, true))
                return fail("audio", block ? static_cast<AudioOrVideoStream*>(out.get()) : audio.get());
        }
        audioSeconds += audioClock.seconds();
    }
    if (!out->flushAudio())
        return fail("flushAudio", out.get());
    out->close();
    double bytes = static_cast<double>(frames) * info.bmiHeader.biSizeImage + static_cast<double>(done) * 4;
    report("decoded", frames, done, bytes, clock.seconds(), audioSeconds);
    return 0;
}

int copy(char* source, const char* target)
{
    std::unique_ptr<RawDataSourceStream> video(RawDataSourceStream::open(source, true, false, 0, nullptr));
    std::unique_ptr<RawDataSourceStream> audio(RawDataSourceStream::open(source, false, false, 0, nullptr));
    if (!video || video->lastError)
        return fail("video source", video.get());
    if (!audio || audio->lastError)
        return fail("audio source", audio.get());
    VIDEOINFOHEADER info;
    video->videoInfo(info);
    auto* wave = reinterpret_cast<WAVEFORMATEX*>(audio->format()->pbFormat);
    std::unique_ptr<OutputAVIFile> out(OutputAVIFile::create(target, &info, false, wave, false, false));
    if (!out || out->lastError || !out->start())
        return fail("output", out.get());
    Clock clock;
    double bytes = 0, audioSeconds = 0;
    long frames = video->duration(), length = audio->duration(), done = 0;
    LONGLONG period = out->interleavingPeriod();
    for (long f = 0; f < frames; ++f) {
        long sample = f, samples = 0, read = 0;
        bool key = false;
        unsigned char* data = video->getData(sample, samples, read, key);
        if (!data || !out->writeFrame(f, data, 1, read, key))
            return fail("frame", data ? static_cast<AudioOrVideoStream*>(out.get()) : video.get());
        bytes += read;
        Clock audioClock;
        for (long due = audioDue(f, period, wave->nSamplesPerSec, length); done < due;) {
            long at = done, count = 0, chunk = 0;
            bool audioKey = false;
            unsigned char* block = audio->getData(at, count, chunk, audioKey);
            if (!block || at != done || count <= 0)
                return fail("audio", audio.get());
            if (done + count > due) {
                chunk = chunk / count * (due - done);
                count = due - done;
            }
            if (!out->bufferedWriteSample(done, block, count, chunk, true))
                return fail("bufferedWriteSample", out.get());
            done += count;
            bytes += chunk;
        }
        audioSeconds += audioClock.seconds();
    }
    if (!out->flushAudio())
        return fail("flushAudio", out.get());
    out->close();
    report("copy", frames, done, bytes, clock.seconds(), audioSeconds);
    return 0;
}

// What the converter's window does per frame, without the window: the status
// text is formatted and kept, the preview resampled into a picture of the
// preview control's size at 96 dpi (72 x 40 dialog units).
class BenchObserver : public ConversionObserver {
public:
    BenchObserver(bool preview, const VIDEOINFOHEADER& format)
        : preview(preview), width(format.bmiHeader.biWidth), height(std::abs(format.bmiHeader.biHeight)),
          picture(static_cast<size_t>((kPreviewWidth * 3 + 3) & ~3) * kPreviewHeight)
    {
    }
    void progress(int) override {}
    std::string statusText() override { return text; }
    void status(const std::string& line) override { text = line; }
    void firstMoved(bool, long) override {}
    bool fillHollow() override { return true; }
    void frame(unsigned char* data) override
    {
        if (preview && !ResampleRGB24(data, width, height, picture.data(), kPreviewWidth, kPreviewHeight))
            failed = true;
    }
    void sourceError(bool) override { failed = true; }
    void outputError() override { failed = true; }
    void threadStartFailed() override { failed = true; }

    bool failed = false;

private:
    static constexpr int kPreviewWidth = 108, kPreviewHeight = 65;
    bool preview;
    int width, height;
    std::vector<unsigned char> picture;
    std::string text;
};

int program(bool raw, bool preview, char* source, const char* target)
{
    // Sources and output as the program opens and creates them.
    std::unique_ptr<SourceStream> video(openSourceStream(source, true, raw, SourceBackend::VfW, 0));
    std::unique_ptr<SourceStream> audio(openSourceStream(source, false, raw, SourceBackend::VfW, 0));
    if (!video || video->lastError)
        return fail("video source", video.get());
    if (!audio || audio->lastError)
        return fail("audio source", audio.get());
    VIDEOINFOHEADER info;
    std::unique_ptr<OutputAVIFile> out(createOutputFor(target, video.get(), audio.get(), false, false, false, info));
    if (!out || out->lastError || (!raw && (!out->setCompressor(true, nullptr) || !out->setCompressor(false, nullptr))))
        return fail("output", out.get());
    const WAVEFORMATEX* wave = out->audioFormat();
    BenchObserver observer(preview && !raw, info);
    ConversionRange range;
    range.videoLast = video->duration() - 1;
    range.audioLast = audio->duration() - 1;
    std::atomic<bool> stop{false};
    Clock clock;
    ConversionRun(video.get(), audio.get(), out.get(), observer).convertStreams(range, stop);
    if (observer.failed || !out->close())
        return fail("program run", out.get());
    double seconds = clock.seconds();
    double bytes = static_cast<double>(range.videoLast + 1) * info.bmiHeader.biSizeImage
        + static_cast<double>(range.audioLast + 1) * wave->nBlockAlign;
    char name[48];
    std::snprintf(name, sizeof name, "program %s preview %s", raw ? "copy" : "decoded", preview ? "on" : "off");
    report(name, range.videoLast + 1, range.audioLast + 1, bytes, seconds, 0);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    TrelixThread();
    if (argc == 6 && std::strcmp(argv[1], "make") == 0)
        return make(argv[2], std::atoi(argv[3]), std::atol(argv[4]), std::atol(argv[5]));
    if (argc == 4 && std::strcmp(argv[1], "decoded") == 0)
        return decoded(argv[2], argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "copy") == 0)
        return copy(argv[2], argv[3]);
    if (argc == 6 && std::strcmp(argv[1], "program") == 0)
        return program(std::strcmp(argv[2], "copy") == 0, std::strcmp(argv[3], "on") == 0, argv[4], argv[5]);
    std::fprintf(stderr, "usage: ConvertBenchmark make SRC SECONDS WIDTH HEIGHT | decoded SRC OUT | copy SRC OUT"
                         " | program decoded|copy on|off SRC OUT\n");
    return 2;
}
