#include <gtest/gtest.h>

#include <cstring>
#include <objbase.h>

#include "TestStreams.h"

namespace {

class CountingNotification : public TrelixNotification {
public:
    explicit CountingNotification(int& destroyed) : destroyed(destroyed) {}
    ~CountingNotification() override { ++destroyed; }
    void progress(int) override {}

private:
    int& destroyed;
};

// An IUnknown that only counts releases, standing in for a media type's pUnk.
class CountingUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    ULONG references = 1;
};

TEST(SourceStream, UnopenedObjectAnswersWithCodeOneAndSentinels)
{
    TestVideoSource<VfWAudioOrVideoStream> video;
    EXPECT_EQ(video.lastError, 0);

    EXPECT_EQ(video.duration(), -1);
    EXPECT_EQ(video.lastError, 1);
    video.lastError = 0;
    EXPECT_EQ(video.frameRate(), -1.0);
    EXPECT_EQ(video.lastError, 1);
    video.lastError = 0;
    EXPECT_EQ(video.msDuration(), -1.0);
    EXPECT_EQ(video.lastError, 1);
    video.lastError = 0;
    VIDEOINFOHEADER info;
    EXPECT_EQ(video.videoInfo(info), nullptr);
    EXPECT_EQ(video.lastError, 1);
    video.lastError = 0;
    EXPECT_NE(video.format(), nullptr);
    EXPECT_EQ(video.lastError, 1);

    TestAudioSource<DSAudioOrVideoStream> audio;
    EXPECT_NE(audio.format(), nullptr);
    EXPECT_EQ(audio.lastError, 1);

    TestRawSource<VfWAudioOrVideoStream> raw;
    raw.setFirstKeySample(7);
    EXPECT_EQ(raw.firstKeySample(), 7);
    EXPECT_EQ(raw.lastError, 1);
    EXPECT_NE(raw.format(), nullptr);
    EXPECT_EQ(raw.lastError, 1);
}

TEST(SourceStream, OpenedObjectClearsTheCode)
{
    TestVideoSource<VfWAudioOrVideoStream> video;
    video.setVideo(25.0, 320, 240);
    video.markOpened(100);
    video.lastError = 8;
    EXPECT_EQ(video.duration(), 100);
    EXPECT_EQ(video.lastError, 0);
    video.lastError = 8;
    EXPECT_EQ(video.frameRate(), 25.0);
    EXPECT_EQ(video.lastError, 0);
    video.lastError = 8;
    EXPECT_EQ(video.format()->biWidth, 320);
    EXPECT_EQ(video.lastError, 0);
}

TEST(SourceStream, InterfacesShareOneErrorStateAndTheBackend)
{
    TestVideoSource<DSAudioOrVideoStream> video;
    SourceStream* source = &video;
    AudioOrVideoStream* root = source;
    EXPECT_FALSE(source->isRawData());
    EXPECT_TRUE(root->usesDirectShow());
    source->duration();
    EXPECT_EQ(root->lastError, 1);
    EXPECT_STREQ(root->ErrorMessage(9), "Could not retrieve the frame rate");

    TestRawSource<VfWAudioOrVideoStream> raw;
    source = &raw;
    EXPECT_TRUE(source->isRawData());
    EXPECT_STREQ(source->ErrorMessage(9),
                 "Could not retrieve the requested frame or an earlier one: returning the next available frame");
}

struct VideoInfoCase {
    double rate;
    long width;
    long height;
    LONGLONG avgTimePerFrame;
    DWORD bitRate;
};

class VideoInfo : public testing::TestWithParam<VideoInfoCase> {};

TEST_P(VideoInfo, ComputesPeriodAndBitRateAndZeroesTheRest)
{
    const VideoInfoCase& c = GetParam();
    TestVideoSource<VfWAudioOrVideoStream> video;
    video.setVideo(c.rate, c.width, c.height);
    video.markOpened(10);
    video.lastError = 8;

    VIDEOINFOHEADER info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(video.videoInfo(info), &info);
    EXPECT_EQ(video.lastError, 0);
    EXPECT_EQ(info.AvgTimePerFrame, c.avgTimePerFrame);
    EXPECT_EQ(info.dwBitRate, c.bitRate);
    EXPECT_EQ(info.dwBitErrorRate, 0u);
    EXPECT_EQ(std::memcmp(&info.bmiHeader, video.format(), sizeof(BITMAPINFOHEADER)), 0);
    RECT zero = {};
    EXPECT_EQ(std::memcmp(&info.rcSource, &zero, sizeof(RECT)), 0);
    EXPECT_EQ(std::memcmp(&info.rcTarget, &zero, sizeof(RECT)), 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, VideoInfo, testing::Values(
    VideoInfoCase{25.0, 320, 240, 400000, 46080000},
    VideoInfoCase{29.97, 320, 240, 333667, 55240704},
    VideoInfoCase{30000.0 / 1001.0, 320, 240, 333667, 55240759},
    // Rows of 321 pixels are padded to 7712 bits.
    VideoInfoCase{2.5, 321, 240, 4000000, 4627200},
    // 1e7 / 3 = 3333333.33 rounds down; 1e7 / 6 = 1666666.67 rounds up.
    VideoInfoCase{3.0, 16, 16, 3333333, 18432},
    VideoInfoCase{6.0, 16, 16, 1666667, 36864},
    // A damaged rate must not divide by zero.
    VideoInfoCase{0.0, 16, 16, 0, 0}));

TEST(SourceStream, AudioHasNoVideoInfo)
{
    TestAudioSource<VfWAudioOrVideoStream> audio;
    audio.markOpened(10);
    audio.lastError = 17;
    VIDEOINFOHEADER info;
    EXPECT_EQ(audio.videoInfo(info), nullptr);
    EXPECT_EQ(audio.lastError, 17);
}

TEST(SourceStream, NotifyAttachesAndDetachesWithoutDestroying)
{
    int destroyed = 0;
    {
        CountingNotification first(destroyed), second(destroyed);
        EXPECT_EQ(first.stream, nullptr);
        TestAudioSource<VfWAudioOrVideoStream> audio;
        EXPECT_EQ(audio.notify(), nullptr);
        EXPECT_EQ(audio.notify(&first), nullptr);
        EXPECT_EQ(audio.notify(&second), &first);
        EXPECT_EQ(audio.notify(), &second);
        EXPECT_EQ(audio.notify(nullptr), &second);
        EXPECT_EQ(audio.notify(), nullptr);
        audio.notify(&first);
        EXPECT_EQ(destroyed, 0);
    }
    // Only the two notifications' own scope ended them; the stream did not.
    EXPECT_EQ(destroyed, 2);
}

TEST(SourceStream, RawDataOwnsItsFormatBlock)
{
    CountingUnknown unknown;
    {
        TestRawSource<DSAudioOrVideoStream> raw;
        AM_MEDIA_TYPE& mt = raw.mediaTypeForTest();
        mt.cbFormat = 64;
        mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(64));
        ASSERT_NE(mt.pbFormat, nullptr);
        mt.pUnk = &unknown;
        raw.markOpened(1);
        EXPECT_EQ(raw.format(), &mt);
    }
    EXPECT_EQ(unknown.references, 0u);
}

} // namespace
