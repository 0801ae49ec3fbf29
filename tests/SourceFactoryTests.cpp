#include <gtest/gtest.h>

#include <memory>

#include "MediaWriter.h"
#include "Trelix.h"

#include <uuids.h>

using namespace MediaWriter;

namespace {

class Recorder : public TrelixNotification {
public:
    void progress(int kind) override { kinds.push_back(kind); }
    std::vector<int> kinds;
};

class SourceFactories : public testing::Test {
protected:
    void SetUp() override
    {
        WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
        ASSERT_TRUE(writeAvi(path, {VideoTrack()}, {pcmAudio(pcm, sinePcm(pcm, 800))}));
    }

    char* file() { return const_cast<char*>(path.c_str()); }

    TempFolder folder;
    std::string path = folder.path("media.avi");
};

TEST_F(SourceFactories, ExplicitVfWBackendOpensTheRequestedKind)
{
    Recorder n;
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(file(), false, 0, &n));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_NE(dynamic_cast<VfWVideoSourceStream*>(video.get()), nullptr);
    EXPECT_EQ(video->notify(), &n);
    EXPECT_EQ(n.stream, video.get());

    std::unique_ptr<SourceStream> audio(SourceStream::open(file(), false, false, 0, nullptr));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->lastError, 0);
    EXPECT_NE(dynamic_cast<VfWAudioSourceStream*>(audio.get()), nullptr);
    EXPECT_EQ(audio->notify(), nullptr);

    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(file(), false, false, 0, nullptr));
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->lastError, 0);
    EXPECT_NE(dynamic_cast<VfWRawDataSourceStream*>(raw.get()), nullptr);
    EXPECT_TRUE(IsEqualGUID(raw->format()->formattype, FORMAT_WaveFormatEx));

    // The VfW/ACM sources never report progress.
    long frame = 0;
    EXPECT_NE(video->getFrameBits(frame), nullptr);
    EXPECT_TRUE(n.kinds.empty());
}

TEST_F(SourceFactories, AutomaticChoiceKeepsAUsableVfWObject)
{
    std::unique_ptr<SourceStream> video(SourceStream::open(file(), true, 0, nullptr));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_FALSE(video->usesDirectShow());
    EXPECT_NE(dynamic_cast<VfWVideoSourceStream*>(video.get()), nullptr);

    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(file(), 0, nullptr));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->lastError, 0);
    EXPECT_FALSE(audio->usesDirectShow());

    std::unique_ptr<RawDataSourceStream> raw(RawDataSourceStream::open(file(), true, 0, nullptr));
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->lastError, 0);
    EXPECT_FALSE(raw->usesDirectShow());
}

// After a fatal VfW failure the automatic choice gives what DirectShow gives,
// usable or not.
TEST_F(SourceFactories, AutomaticChoiceReportsAFatalVfWFailure)
{
    std::string missing = folder.path("missing.avi");
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(const_cast<char*>(missing.c_str()), 0, nullptr));
    ASSERT_TRUE(video);
    EXPECT_TRUE(video->usesDirectShow());
    EXPECT_EQ(video->lastError, 4);
    EXPECT_TRUE(video->lastError_isFatal());
    EXPECT_STREQ(video->ErrorMessage(video->lastError), "Could not open the source file");
}

} // namespace
