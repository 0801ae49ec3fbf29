#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "MediaWriter.h"
#include "TestMedia.h"
#include "Trelix.h"
#include "core/ErrorCodes.h"
#include "directshow/WriteTimes.h"

#include <uuids.h>

using namespace MediaWriter;

namespace {

using Writer = std::unique_ptr<OutputAVIFile>;

Writer create(const std::string& path, const VIDEOINFOHEADER* video, bool compressVideo, const WAVEFORMATEX* audio,
              bool compressAudio)
{
    return Writer(OutputAVIFile::create(path.c_str(), video, compressVideo, audio, compressAudio, true));
}

// Destroys the writer on another thread; false when that takes more than
// ten seconds (a hang).
bool destroyPromptly(Writer writer)
{
    auto done = std::async(std::launch::async, [&writer] {
        TrelixThread();
        writer.reset();
    });
    return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

LONGLONG fileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

class DSOutputAVIFileTest : public ::testing::Test {
protected:
    TempFolder folder;
    std::string path = folder.path("out.avi");
    VIDEOINFOHEADER video = videoInfo(64, 48, 400000);
    WAVEFORMATEX pcm = pcmFormat(44100, 2, 16);
};

} // namespace

TEST_F(DSOutputAVIFileTest, FactoryGivesTheDirectShowWriter)
{
    Writer writer = create(path, &video, false, nullptr, false);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->usesDirectShow());
    EXPECT_EQ(writer->lastError, 0);
    EXPECT_NE(dynamic_cast<DSOutputAVIFile*>(writer.get()), nullptr);
}

TEST_F(DSOutputAVIFileTest, CreateRefusesMissingStreamsAndUnacceptableVideo)
{
    Writer none = create(path, nullptr, false, nullptr, false);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->lastError, OutputError::NoStreams);
    EXPECT_FALSE(none->start());
    EXPECT_EQ(none->lastError, DSError::NotOpened);

    VIDEOINFOHEADER rgb16 = videoInfo(64, 48, 400000, 16);
    Writer refused = create(path, &rgb16, true, nullptr, false);
    EXPECT_EQ(refused->lastError, OutputError::UnacceptableVideoFormat);
}

// 16-bit BI_RGB frames are stored as written (RGB555, the DIB convention).
TEST_F(DSOutputAVIFileTest, SixteenBitRgbIsCopiedAsRgb555)
{
    VIDEOINFOHEADER rgb16 = videoInfo(64, 48, 400000, 16);
    Writer writer = create(path, &rgb16, false, nullptr, false);
    ASSERT_TRUE(writer);
    EXPECT_EQ(writer->lastError, 0);
    EXPECT_TRUE(writer->canRun());
}

TEST_F(DSOutputAVIFileTest, WritesBeforeStartReportNotStarted)
{
    Writer writer = create(path, &video, false, nullptr, false);
    std::vector<BYTE> frame = framePixels(64, 48, 0);
    EXPECT_FALSE(writer->writeFrame(0, frame.data(), 1, -1, true));
    EXPECT_EQ(writer->lastError, DSError::GraphNotStarted);
    EXPECT_FALSE(writer->writeSample(0, frame.data(), 1, -1, true));
    EXPECT_EQ(writer->lastError, OutputError::NoAudioStream);
    EXPECT_FALSE(writer->close());
    EXPECT_EQ(writer->lastError, DSError::GraphNotStarted);
}

TEST_F(DSOutputAVIFileTest, CompressorCodes)
{
    Writer copy = create(path, &video, false, nullptr, false);
    EXPECT_FALSE(copy->canSetCompressor(true));
    EXPECT_EQ(copy->lastError, OutputError::CopyRequired);
    EXPECT_FALSE(copy->canSetCompressor(false));
    EXPECT_EQ(copy->lastError, OutputError::NoAudioStream);
    EXPECT_FALSE(copy->isCompressorSet(true));
    copy->configureCompressor(nullptr, true);
    EXPECT_EQ(copy->lastError, OutputError::NoCompressorSelected);
}

TEST_F(DSOutputAVIFileTest, NullCompressorConnectsStraightToTheMux)
{
    Writer writer = create(path, &video, true, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    EXPECT_FALSE(writer->canRun());
    EXPECT_FALSE(writer->start());
    EXPECT_EQ(writer->lastError, DSError::GraphNotConfigured);
    ASSERT_TRUE(writer->canSetCompressor(true));
    ASSERT_TRUE(writer->setCompressor(true, nullptr)) << writer->lastError;
    EXPECT_FALSE(writer->compressedVideo());
    EXPECT_TRUE(writer->canRun());
    EXPECT_FALSE(writer->setCompressor(true, nullptr));
    EXPECT_EQ(writer->lastError, OutputError::CopyRequired);
}

// A mux that reports no interleave time gives audio buffers of one second.
TEST_F(DSOutputAVIFileTest, AudioBufferHoldsOneSecondWhenTheMuxGivesNoPeriod)
{
    Writer writer = create(path, &video, true, &pcm, true);
    ASSERT_EQ(writer->lastError, 0);
    LONGLONG period = writer->interleavingPeriod();
    if (period > 0)
        GTEST_SKIP() << "the platform's mux reports a period of " << period;
    std::vector<BYTE> sound = sinePcm(pcm, 44101);
    EXPECT_FALSE(writer->bufferedWriteSample(0, sound.data(), 44101, -1, true));
    EXPECT_EQ(writer->lastError, OutputError::AudioBufferOverflow);
    EXPECT_TRUE(writer->bufferedWriteSample(0, sound.data(), 44100, -1, true));
}

TEST_F(DSOutputAVIFileTest, DestroyedBeforeStartReturnsPromptly)
{
    Writer writer = create(path, &video, false, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    EXPECT_TRUE(destroyPromptly(std::move(writer)));
}

// Where the graph does not run (Wine's mux cannot write through the file
// writer), start reports 22 and the writer is still destroyed promptly.
TEST_F(DSOutputAVIFileTest, StartRunsTheGraphOrReportsWhy)
{
    Writer writer = create(path, &video, false, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    bool started = writer->start();
    if (!started) {
        EXPECT_EQ(writer->lastError, DSError::CannotRunGraph);
    }
    // A second start tells the same, without starting anything.
    EXPECT_EQ(writer->start(), started);
    if (!started) {
        EXPECT_EQ(writer->lastError, DSError::CannotRunGraph);
    }
    // Whether the graph runs or not, a write either lands or fails: it never
    // waits for a streaming thread that is not there.
    std::vector<BYTE> frame = framePixels(64, 48, 0);
    bool written = writer->writeFrame(0, frame.data(), 1, -1, true);
    EXPECT_EQ(written, started);
    if (!written) {
        EXPECT_EQ(writer->lastError, DSError::WriteError);
    }
    EXPECT_FALSE(writer->writeFrame(1, nullptr, 1, -1, true));
    EXPECT_EQ(writer->lastError, DSError::WriteError);
    // Closing a graph that never ran finishes no file.
    EXPECT_EQ(writer->close(), started);
    if (!started) {
        EXPECT_EQ(writer->lastError, DSError::CannotRunGraph);
    }
    EXPECT_FALSE(writer->close());
    EXPECT_EQ(writer->lastError, DSError::NotOpened);
    EXPECT_TRUE(destroyPromptly(std::move(writer)));
}

TEST_F(DSOutputAVIFileTest, WritesFramesThatReadBack)
{
    Writer writer = create(path, &video, false, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    if (!writer->start())
        GTEST_SKIP() << "the graph does not run here (code " << writer->lastError << ")";
    for (int i = 0; i < 10; ++i) {
        std::vector<BYTE> frame = framePixels(64, 48, i);
        ASSERT_TRUE(writer->writeFrame(i, frame.data(), 1, -1, true)) << writer->lastError;
    }
    EXPECT_EQ(writer->nextFrame_number(), 10);
    ASSERT_TRUE(writer->close()) << writer->lastError;
    std::vector<BYTE> frame = framePixels(64, 48, 0);
    EXPECT_FALSE(writer->writeFrame(10, frame.data(), 1, -1, true));
    EXPECT_EQ(writer->lastError, DSError::NotOpened);
    writer.reset();

    std::unique_ptr<VideoSourceStream> source(VideoSourceStream::open(&path[0], false, 0, nullptr));
    ASSERT_TRUE(source);
    ASSERT_EQ(source->lastError, 0);
    for (long i = 0; i < 10; ++i) {
        long number = i;
        unsigned char* bits = source->getFrameBits(number);
        ASSERT_NE(bits, nullptr);
        std::vector<BYTE> expected = framePixels(64, 48, i);
        EXPECT_EQ(std::memcmp(bits, expected.data(), expected.size()), 0) << "frame " << i;
    }
}

TEST_F(DSOutputAVIFileTest, FrameLargerThanTheBufferFails)
{
    Writer writer = create(path, &video, false, nullptr, false);
    if (!writer->start())
        GTEST_SKIP() << "the graph does not run here (code " << writer->lastError << ")";
    std::vector<BYTE> big(video.bmiHeader.biSizeImage + 1);
    EXPECT_FALSE(writer->writeFrame(0, big.data(), 1, static_cast<long>(big.size()), true));
    EXPECT_EQ(writer->lastError, DSError::WriteError);
    EXPECT_TRUE(destroyPromptly(std::move(writer)));
    EXPECT_GT(fileSize(path), 0);
}

// Interleaving is the mux's: where it cannot report its mode or period the
// writer says so with 63.
TEST_F(DSOutputAVIFileTest, InterleavingThroughTheMux)
{
    Writer writer = create(path, &video, false, nullptr, false);
    bool automatic = writer->isAutomaticallyInterleaved();
    if (writer->lastError != 0) {
        EXPECT_EQ(writer->lastError, DSError::NoInterleavingProperties);
        EXPECT_FALSE(automatic);
        EXPECT_EQ(writer->interleavingPeriod(), 0);
        EXPECT_EQ(writer->lastError, DSError::NoInterleavingProperties);
        writer->configureAVI(nullptr);
        EXPECT_EQ(writer->lastError, DSError::NoInterleavingProperties);
        return;
    }
    ASSERT_TRUE(writer->setAutomaticInterleaving(false));
    EXPECT_FALSE(writer->isAutomaticallyInterleaved());
    ASSERT_TRUE(writer->setAutomaticInterleaving(true));
    EXPECT_TRUE(writer->isAutomaticallyInterleaved());
}

TEST(DSOutputAVIFileWrites, FrameBytesUseTheDibRowSize)
{
    VIDEOINFOHEADER odd = videoInfo(321, 240, 400000);
    EXPECT_EQ(WriteTimes::frameBytes(odd.bmiHeader, 1), 240 * 964);
    VIDEOINFOHEADER topDown = videoInfo(320, -240, 400000);
    EXPECT_EQ(WriteTimes::frameBytes(topDown.bmiHeader, 1), 230400);
    EXPECT_EQ(WriteTimes::frameBytes(topDown.bmiHeader, 3), 3 * 230400);
}

TEST(DSOutputAVIFileWrites, FrameTenAtTwentyFiveFramesPerSecond)
{
    VIDEOINFOHEADER video = videoInfo(64, 48, 400000);
    REFERENCE_TIME start = 0, stop = 0;
    WriteTimes::frameTimes(video, 10, 1, start, stop);
    EXPECT_EQ(start, 4000000);
    EXPECT_EQ(stop, 4400000);
}

TEST(DSOutputAVIFileWrites, SecondSecondOfAudio)
{
    WAVEFORMATEX pcm = pcmFormat(44100, 2, 16);
    REFERENCE_TIME start = 0, stop = 0;
    WriteTimes::sampleTimes(pcm, 44100, 88199 - 44100 + 1, start, stop);
    EXPECT_EQ(start, 10000000);
    EXPECT_EQ(stop, 20000000);
    EXPECT_EQ(WriteTimes::sampleBytes(pcm, 44100), 176400);
    // Past 2^31 / 10^7 seconds' worth of samples the products need 64 bits.
    WriteTimes::sampleTimes(pcm, 2000000000, 1, start, stop);
    EXPECT_EQ(start, 2000000000LL * 10000000 / 44100);
}

// Wine's mux has no audio inputs: copying audio then fails with 42.
TEST_F(DSOutputAVIFileTest, AudioCopyConnectsToTheMuxOrSaysWhy)
{
    Writer writer = create(path, &video, false, &pcm, false);
    ASSERT_TRUE(writer);
    if (writer->lastError != 0) {
        EXPECT_EQ(writer->lastError, DSError::AudioCopyConnectionFailed);
        EXPECT_TRUE(writer->lastError_isFatal());
        return;
    }
    EXPECT_TRUE(writer->canRun());
}

// The engine's video thread waits for its turn while the output goes: the
// destruction does not wait for it, and the stop request releases it.
TEST_F(DSOutputAVIFileTest, DestroyedWhileTheEnginesOtherWriterWaits)
{
    Writer writer = create(path, &video, false, &pcm, true);
    ASSERT_EQ(writer->lastError, 0);
    AutomaticInterleaveEngine engine;
    ASSERT_TRUE(engine.setOutputStream(writer.get(), true));
    std::vector<BYTE> sound = sinePcm(pcm, 100);
    ASSERT_TRUE(engine.Write(AutomaticInterleaveEngine::audioThread, 0, sound.data(), 100, -1, true));
    std::vector<BYTE> frame = framePixels(64, 48, 0);
    auto videoWriter = std::async(std::launch::async, [&] {
        TrelixThread();
        return engine.Write(AutomaticInterleaveEngine::videoThread, 0, frame.data(), 1, -1, true);
    });
    EXPECT_EQ(videoWriter.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_TRUE(destroyPromptly(std::move(writer)));
    engine.userStop();
    ASSERT_EQ(videoWriter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(videoWriter.get());
}

// AVIFile cannot create a file in a missing folder (fatal 21): the
// automatic factory then gives the DirectShow writer.
TEST_F(DSOutputAVIFileTest, AutomaticFactoryFallsBackAfterAFatalVfWError)
{
    std::string missing = folder.path("missing\\folder\\out.avi");
    std::unique_ptr<OutputAVIFile> writer(OutputAVIFile::create(missing.c_str(), &video, false, nullptr, false));
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->usesDirectShow());
}

namespace {

struct RawFrame {
    std::vector<BYTE> bytes;
    bool key;
};

std::vector<RawFrame> readRaw(RawDataSourceStream& raw, long frames)
{
    std::vector<RawFrame> result;
    for (long n = 0; n < frames; ++n) {
        long sample = n, count = 0, bytes = 0;
        bool key = false;
        unsigned char* data = raw.getData(sample, count, bytes, key);
        if (!data || sample != n)
            break;
        result.push_back({std::vector<BYTE>(data, data + bytes), key});
    }
    return result;
}

} // namespace

// MJPEG frames read raw through AVIFile go to the file byte for byte.
TEST_F(DSOutputAVIFileTest, CopiesCompressedFramesAsStored)
{
    REQUIRE_MEDIA(source, "mjpeg.avi");
    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(&source[0], true, false, 0, nullptr));
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->lastError, 0);
    AM_MEDIA_TYPE* type = raw->format();
    ASSERT_EQ(type->formattype, FORMAT_VideoInfo);
    ASSERT_GE(type->cbFormat, sizeof(VIDEOINFOHEADER));
    VIDEOINFOHEADER info = *reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    Writer writer = create(path, &info, false, nullptr, false);
    ASSERT_EQ(writer->lastError, 0);
    EXPECT_TRUE(writer->canRun());
    std::vector<RawFrame> frames = readRaw(*raw, 50);
    ASSERT_EQ(frames.size(), 50u);
    if (!writer->start())
        GTEST_SKIP() << "the graph does not run here (code " << writer->lastError << ")";
    for (size_t n = 0; n < frames.size(); ++n)
        ASSERT_TRUE(writer->writeFrame(static_cast<long>(n), frames[n].bytes.data(), 1,
                                       static_cast<long>(frames[n].bytes.size()), frames[n].key))
            << writer->lastError;
    ASSERT_TRUE(writer->close());
    writer.reset();

    std::unique_ptr<RawDataSourceStream> copy(RawDataSourceStream::open(&path[0], true, false, 0, nullptr));
    ASSERT_TRUE(copy);
    ASSERT_EQ(copy->lastError, 0);
    std::vector<RawFrame> stored = readRaw(*copy, 50);
    ASSERT_EQ(stored.size(), frames.size());
    for (size_t n = 0; n < frames.size(); ++n) {
        EXPECT_EQ(stored[n].bytes, frames[n].bytes) << "frame " << n;
        EXPECT_EQ(stored[n].key, frames[n].key) << "frame " << n;
    }
}
