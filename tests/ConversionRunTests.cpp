#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>

#include "ConversionRun.h"
#include "MediaWriter.h"
#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"

using namespace MediaWriter;

namespace {

// An output of our own that writes through the VfW writer but says that it
// interleaves by itself, as only the DirectShow writer can (and, under Wine,
// cannot start). It records the order of the writes reaching the file.
class AutoInterleavedOutput : public VfWAudioOrVideoStream, public OutputAVIFile {
public:
    struct Write {
        bool video;
        long first;
        long count;
    };

    AutoInterleavedOutput(const char* file, const VIDEOINFOHEADER* videoFormat, const WAVEFORMATEX* audioFormat)
        : inner(VfWOutputAVIFile::create(file, videoFormat, false, audioFormat, false))
    {
        setFormats(videoFormat, false, audioFormat, false);
        lastError = inner ? inner->lastError : 2;
        unusable = lastError != 0;
        if (audioFormat && inner)
            audioBufferCapacity = audioCapacityFor(inner->interleavingPeriod());
    }

    void configureAVI(void*) override {}
    bool isAutomaticallyInterleaved() override { return automatic; }
    LONGLONG interleavingPeriod() override { return inner->interleavingPeriod(); }
    bool setAutomaticInterleaving(bool on) override
    {
        switches.push_back(on);
        automatic = on;
        return true;
    }
    bool canSetCompressor(bool) override { return false; }
    bool setCompressor(bool, void*) override { return false; }
    bool isCompressorSet(bool) override { return false; }
    bool chooseCompressor(void*, bool) override { return false; }
    void configureCompressor(void*, bool) override {}
    bool canRun() override { return inner->canRun(); }
    bool start() override { return took(inner->start()); }
    bool close() override
    {
        ++closes;
        return took(inner->close());
    }
    bool writeFrame(long first, unsigned char* data, long count, long bytes, bool key) override
    {
        if (static_cast<long>(writes.size()) == failAt) {
            lastError = VfWError::WriteError;
            return false;
        }
        writes.push_back({true, first, count});
        nextFrameNumber = first + count;
        return took(inner->writeFrame(first, data, count, bytes, key));
    }
    bool writeSample(long first, unsigned char* data, long count, long bytes, bool key) override
    {
        writes.push_back({false, first, count});
        nextSampleNumber = first + count;
        return took(inner->writeSample(first, data, count, bytes, key));
    }

    std::unique_ptr<VfWOutputAVIFile> inner;
    std::vector<Write> writes;
    std::vector<bool> switches;
    int closes = 0;
    // The write (counted from 0) at which a frame write fails, or -1.
    long failAt = -1;

private:
    bool took(bool done)
    {
        lastError = inner->lastError;
        return done;
    }

    bool automatic = true;
};

// What a front end would show, kept for the checks. The writers call it from
// two threads.
class RecordingObserver : public ConversionObserver {
public:
    explicit RecordingObserver(OutputAVIFile*& output) : output(output) {}

    void progress(int percent) override { lastPercent = percent; }
    std::string statusText() override
    {
        std::lock_guard<std::mutex> guard(mutex);
        return text;
    }
    void status(const std::string& line) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        text = line;
        lines.push_back(line);
    }
    void firstMoved(bool, long) override {}
    bool fillHollow() override { return true; }
    void frame(unsigned char*) override
    {
        if (++frames == stopAtFrame && stop)
            stop();
    }
    void sourceError(bool) override { ++sourceErrors; }
    void outputError() override
    {
        outputErrors.push_back(output ? output->lastError : -1);
        if (output)
            output->resetLastError();
    }
    void threadStartFailed() override { ++threadFailures; }

    OutputAVIFile*& output;
    std::mutex mutex;
    std::string text;
    std::vector<std::string> lines;
    int lastPercent = -1;
    int frames = 0;
    int stopAtFrame = -1;
    std::function<void()> stop;
    int sourceErrors = 0;
    std::vector<int> outputErrors;
    int threadFailures = 0;
};

// Leaves a copy of a written file in the media folder, where the ffmpeg
// check that runs after this program finds it.
void keepForProbe(const std::string& file, const char* name)
{
    EXPECT_TRUE(TestMedia::keep(file, name)) << name;
}

class EnginePath : public testing::Test {
protected:
    // 16x8 video at 25 fps, `frames` long, with 8 kHz mono PCM of `audioFrames` frames' length.
    void openSources(int frames, int audioFrames)
    {
        output = nullptr;
        automatic.reset();
        video.reset();
        audio.reset();
        source = folder.path("source.avi");
        VideoTrack picture;
        picture.frames = std::string(frames, 'K');
        WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
        ASSERT_TRUE(writeAvi(source, {picture}, {pcmAudio(pcm, sinePcm(pcm, audioFrames * 320))}));
        video.reset(VideoSourceStream::open(&source[0], false, 0, nullptr));
        audio.reset(AudioSourceStream::open(&source[0], false, 0, nullptr));
        ASSERT_EQ(0, video->lastError);
        ASSERT_EQ(0, audio->lastError);
        target = folder.path("engine.avi");
        automatic = std::make_unique<AutoInterleavedOutput>(target.c_str(), video->videoInfo(videoInfo),
                                                            audio->format());
        ASSERT_EQ(0, automatic->lastError);
        output = automatic.get();
        range.videoLast = video->duration() - 1;
        range.audioLast = audio->duration() - 1;
    }

    void convert(bool finishBoth)
    {
        ConversionRun run(video.get(), audio.get(), output, observer);
        run.convertInterleaved(range, engine, finishBoth, statusLock);
    }

    // Read back through DirectShow: Wine's AVIFile writes the index stream by
    // stream and takes its offset base from the first entry, so it cannot
    // read its own file when the first chunk is audio, as the engine writes.
    long writtenSamples()
    {
        std::unique_ptr<AudioSourceStream> written(AudioSourceStream::open(&target[0], true, 0, nullptr));
        EXPECT_EQ(0, written->lastError);
        return written->duration();
    }

    TempFolder folder;
    std::string source, target;
    std::unique_ptr<VideoSourceStream> video;
    std::unique_ptr<AudioSourceStream> audio;
    VIDEOINFOHEADER videoInfo{};
    std::unique_ptr<AutoInterleavedOutput> automatic;
    OutputAVIFile* output = nullptr;
    RecordingObserver observer{output};
    ConversionRange range;
    AutomaticInterleaveEngine engine;
    CriticalSection statusLock;
};

// Audio goes first; the turn passes once a writer is one period (0.75 s) past
// the end of its slice's first write; the mux's own interleaving is off for
// the run and on again at the end. The frames and samples are the source's
// (conversion-run-probe.sh compares them with ffmpeg's framemd5).
TEST_F(EnginePath, WritersTakeTurnsAndTheFileHoldsEverything)
{
    openSources(60, 60);
    convert(true);
    EXPECT_TRUE(observer.outputErrors.empty());
    EXPECT_EQ(0, observer.sourceErrors);
    EXPECT_EQ(1, automatic->closes);
    EXPECT_EQ((std::vector<bool>{false, true}), automatic->switches);
    EXPECT_EQ("frame 60, audio sample 19200", observer.text);
    EXPECT_EQ(100, observer.lastPercent);
    ASSERT_FALSE(automatic->writes.empty());
    EXPECT_FALSE(automatic->writes.front().video);
    int turns = 0;
    long videoWritten = 0, audioWritten = 0, nextFrame = 0;
    for (size_t i = 0; i < automatic->writes.size(); ++i) {
        const auto& write = automatic->writes[i];
        if (i > 0 && write.video != automatic->writes[i - 1].video)
            ++turns;
        if (write.video) {
            EXPECT_EQ(nextFrame, write.first);
            nextFrame = write.first + write.count;
            videoWritten += write.count;
        } else {
            audioWritten += write.count;
        }
    }
    EXPECT_GE(turns, 3);
    EXPECT_EQ(60, videoWritten);
    EXPECT_EQ(19200, audioWritten);
    output = nullptr;
    automatic.reset();
    keepForProbe(source, "conversion-run-source.avi");
    keepForProbe(target, "conversion-run-engine.avi");

    std::unique_ptr<VideoSourceStream> written(VideoSourceStream::open(&target[0], true, 0, nullptr));
    ASSERT_EQ(0, written->lastError);
    EXPECT_EQ(60, written->duration());
    EXPECT_EQ(19200, writtenSamples());
}

// Longer audio than video: with truncation the audio writer stops at its next
// write after the video writer ended; without, it writes to its end.
TEST_F(EnginePath, TruncationEndsTheAudioWithTheVideo)
{
    openSources(10, 50);
    convert(false);
    EXPECT_TRUE(observer.outputErrors.empty());
    output = nullptr;
    automatic.reset();
    long truncated = writtenSamples();
    EXPECT_GE(truncated, 3200);
    EXPECT_LT(truncated, 16000);

    openSources(10, 50);
    convert(true);
    output = nullptr;
    automatic.reset();
    EXPECT_EQ(16000, writtenSamples());
}

// A user stop is not a write error: the output is closed normally and the
// file holds what was written.
TEST_F(EnginePath, StopClosesTheOutput)
{
    openSources(100, 100);
    observer.stopAtFrame = 10;
    observer.stop = [this] { engine.userStop(); };
    convert(true);
    EXPECT_TRUE(observer.outputErrors.empty());
    EXPECT_EQ(1, automatic->closes);
    output = nullptr;
    automatic.reset();
    std::unique_ptr<VideoSourceStream> written(VideoSourceStream::open(&target[0], true, 0, nullptr));
    ASSERT_EQ(0, written->lastError);
    EXPECT_GE(written->duration(), 10);
    EXPECT_LT(written->duration(), 100);
    engine.close();
}

// A failed frame write stops both writers; the supervisor reports the output's
// error once and does not close it.
TEST_F(EnginePath, FailedWriteIsReportedOnceWithoutClosing)
{
    openSources(60, 60);
    automatic->failAt = 5;
    convert(true);
    EXPECT_EQ((std::vector<int>{VfWError::WriteError}), observer.outputErrors);
    EXPECT_EQ(0, automatic->closes);
    EXPECT_EQ(0, observer.sourceErrors);
}

// The real DirectShow writer under Wine: its mux does not interleave by itself
// and the graph cannot run (the file writer lacks IStream), so start fails
// with 22. The error reported is the start's, on the DirectShow writer. (Video
// only: Wine's AVI mux refuses the writer's PCM pin, error 31.)
TEST_F(EnginePath, DirectShowWriterThatCannotStartIsReported)
{
    openSources(10, 10);
    automatic.reset();
    std::unique_ptr<OutputAVIFile> directShow(
        OutputAVIFile::create(target.c_str(), video->videoInfo(videoInfo), true, nullptr, false, true));
    ASSERT_EQ(0, directShow->lastError);
    ASSERT_TRUE(directShow->setCompressor(true, nullptr)) << directShow->lastError;
    ASSERT_TRUE(directShow->usesDirectShow());
    output = directShow.get();
    ConversionRun run(video.get(), nullptr, output, observer);
    run.convertInterleaved(range, engine, true, statusLock);
    if (observer.outputErrors.empty())
        GTEST_SKIP() << "the DirectShow writer started: this platform's file writer runs the graph";
    EXPECT_EQ((std::vector<int>{DSError::CannotRunGraph}), observer.outputErrors);
    EXPECT_EQ(0, observer.sourceErrors);
    EXPECT_TRUE(observer.lines.empty());
}

} // namespace
