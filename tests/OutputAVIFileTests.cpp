#include <gtest/gtest.h>

#include <memory>

#include "MediaWriter.h"
#include "TestOutput.h"

namespace {

// 8 kHz mono 16-bit audio; a 0.1 s period makes an 800-sample buffer.
class AudioBuffering : public testing::Test {
protected:
    AudioBuffering() : output(nullptr, &audio, 1000000) {}

    WAVEFORMATEX audio = MediaWriter::pcmFormat(8000, 1, 16);
    TestOutput output;
    unsigned char data[3200] = {};
};

TEST_F(AudioBuffering, ContiguousWritesWithOneKeyFlagMakeOneBlock)
{
    EXPECT_EQ(output.nextSample_number_inBuffer(), 0);
    EXPECT_TRUE(output.flushAudio());
    EXPECT_TRUE(output.samples.empty());

    EXPECT_TRUE(output.bufferedWriteSample(0, data, 100, -1, true));
    EXPECT_TRUE(output.bufferedWriteSample(100, data, 100, 200, true));
    EXPECT_EQ(output.nextSample_number_inBuffer(), 200);
    EXPECT_TRUE(output.samples.empty());
    EXPECT_TRUE(output.flushAudio());
    ASSERT_EQ(output.samples.size(), 1u);
    EXPECT_EQ(output.samples[0].first, 0);
    EXPECT_EQ(output.samples[0].count, 200);
    EXPECT_EQ(output.samples[0].bytes, 400);
    EXPECT_TRUE(output.flushAudio());
    EXPECT_EQ(output.samples.size(), 1u);
}

TEST_F(AudioBuffering, AGapOrAKeyChangeStartsANewBlock)
{
    EXPECT_TRUE(output.bufferedWriteSample(0, data, 100, -1, true));
    EXPECT_TRUE(output.bufferedWriteSample(101, data, 100, -1, true));
    EXPECT_TRUE(output.bufferedWriteSample(201, data, 100, -1, false));
    EXPECT_TRUE(output.flushAudio());
    ASSERT_EQ(output.samples.size(), 3u);
    EXPECT_EQ(output.samples[0].count, 100);
    EXPECT_EQ(output.samples[1].first, 101);
    EXPECT_TRUE(output.samples[1].key);
    EXPECT_FALSE(output.samples[2].key);
}

TEST_F(AudioBuffering, AFullBufferIsWrittenBeforeMoreIsTaken)
{
    for (long s = 0; s < 1000; s += 200)
        EXPECT_TRUE(output.bufferedWriteSample(s, data, 200, -1, true));
    EXPECT_TRUE(output.flushAudio());
    ASSERT_EQ(output.samples.size(), 2u);
    EXPECT_EQ(output.samples[0].count, 800);
    EXPECT_EQ(output.samples[1].first, 800);
    EXPECT_EQ(output.samples[1].count, 200);
}

TEST_F(AudioBuffering, MoreThanTheWholeBufferOverflows)
{
    EXPECT_FALSE(output.bufferedWriteSample(0, data, 801, -1, true));
    EXPECT_EQ(output.lastError, 208);
    EXPECT_TRUE(output.lastError_isFatal());
    EXPECT_EQ(output.nextSample_number_inBuffer(), 0);

    TestOutput exact(nullptr, &audio, 1000000);
    EXPECT_TRUE(exact.bufferedWriteSample(0, data, 800, 1600, true));
    EXPECT_TRUE(exact.flushAudio());
    ASSERT_EQ(exact.samples.size(), 1u);
    EXPECT_EQ(exact.samples[0].bytes, 1600);
}

TEST_F(AudioBuffering, AccessorsWithoutAStream)
{
    EXPECT_EQ(output.nextFrame_number(), -1);
    EXPECT_EQ(output.lastError, 200);
    output.compressedVideo();
    EXPECT_EQ(output.lastError, 200);
    EXPECT_EQ(output.nextSample_number(), 0);
    EXPECT_EQ(output.lastError, 0);

    VIDEOINFOHEADER video = {};
    video.AvgTimePerFrame = 400000;
    TestOutput silent(&video, nullptr, 1000000);
    EXPECT_FALSE(silent.bufferedWriteSample(0, data, 10, -1, true));
    EXPECT_EQ(silent.lastError, 201);
    EXPECT_FALSE(silent.flushAudio());
    EXPECT_EQ(silent.lastError, 201);
    EXPECT_EQ(silent.nextSample_number_inBuffer(), -1);
}

// Four hours of 44.1 kHz stereo would make more bytes than a 32-bit count
// holds: the capacity is clamped instead of turning negative.
TEST(AudioBufferCapacity, ALongPeriodIsClamped)
{
    WAVEFORMATEX stereo = MediaWriter::pcmFormat(44100, 2, 16);
    TestOutput output(nullptr, &stereo, 4LL * 3600 * 10000000);
    unsigned char data[400] = {};
    EXPECT_TRUE(output.bufferedWriteSample(0, data, 100, -1, true)) << output.lastError;
    EXPECT_TRUE(output.flushAudio());
    ASSERT_EQ(output.samples.size(), 1u);
    EXPECT_EQ(output.samples[0].count, 100);
}

TEST(OutputFactories, ChooseTheVfWWriter)
{
    MediaWriter::TempFolder folder;
    std::string path = folder.path("out.avi");
    VIDEOINFOHEADER video = {};
    video.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    video.bmiHeader.biWidth = 16;
    video.bmiHeader.biHeight = 8;
    video.bmiHeader.biPlanes = 1;
    video.bmiHeader.biBitCount = 24;
    video.AvgTimePerFrame = 400000;
    std::unique_ptr<OutputAVIFile> automatic(OutputAVIFile::create(path.c_str(), &video, false, nullptr, false));
    ASSERT_TRUE(automatic);
    EXPECT_EQ(automatic->lastError, 0);
    EXPECT_FALSE(automatic->usesDirectShow());
    automatic.reset();

    std::unique_ptr<OutputAVIFile> vfw(OutputAVIFile::create(path.c_str(), &video, false, nullptr, false, false));
    ASSERT_TRUE(vfw);
    EXPECT_NE(dynamic_cast<VfWOutputAVIFile*>(vfw.get()), nullptr);
    vfw.reset();

    // A fatal VfW failure falls back to the DirectShow writer.
    std::string missing = folder.path("no\\such\\folder.avi");
    std::unique_ptr<OutputAVIFile> failed(OutputAVIFile::create(missing.c_str(), &video, false, nullptr, false));
    ASSERT_TRUE(failed);
    EXPECT_TRUE(failed->usesDirectShow());
}

} // namespace
