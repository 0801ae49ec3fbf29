#include <gtest/gtest.h>

#include <objbase.h>
#include <vfwmsgs.h>

#include <string>
#include <vector>

#include "ExpectedMessages.h"
#include "MediaWriter.h"
#include "TestMedia.h"
#include "Trelix.h"
#include "probe/StreamCountRules.h"

#include <uuids.h>

using namespace MediaWriter;

namespace {

// Written through a pointer; the sentinel shows whether the probe wrote it.
constexpr int kUntouched = -77;

struct Counts {
    MediaContainer::Error result;
    int video = kUntouched;
    int audio = kUntouched;
};

Counts probe(const std::string& path, bool useDirectShow)
{
    Counts counts;
    counts.result =
        MediaContainer::streamsNumber(const_cast<char*>(path.c_str()), useDirectShow, &counts.video, &counts.audio);
    return counts;
}

void expectCounts(const Counts& counts, MediaContainer::Error result, int video, int audio)
{
    EXPECT_EQ(counts.result, result);
    EXPECT_EQ(counts.video, video);
    EXPECT_EQ(counts.audio, audio);
}

// Running-object-table entries of filter graphs of this process.
int graphsInRot()
{
    IRunningObjectTable* rot = nullptr;
    if (FAILED(GetRunningObjectTable(0, &rot)))
        return -1;
    IEnumMoniker* monikers = nullptr;
    if (FAILED(rot->EnumRunning(&monikers))) {
        rot->Release();
        return -1;
    }
    wchar_t pid[32];
    swprintf(pid, 32, L"pid %08x", GetCurrentProcessId());
    IBindCtx* context = nullptr;
    CreateBindCtx(0, &context);
    int count = 0;
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        LPOLESTR name = nullptr;
        if (context && SUCCEEDED(moniker->GetDisplayName(context, nullptr, &name))) {
            std::wstring text(name);
            if (text.find(L"FilterGraph") != std::wstring::npos && text.find(pid) != std::wstring::npos)
                ++count;
            CoTaskMemFree(name);
        }
        moniker->Release();
    }
    if (context)
        context->Release();
    monikers->Release();
    rot->Release();
    return count;
}

// An AVI of `videos` uncompressed and `audios` PCM streams, written by AVIFile.
std::string writeStreams(const TempFolder& folder, int videos, int audios, DWORD compression = BI_RGB)
{
    std::vector<VideoTrack> video(videos);
    for (VideoTrack& layout : video)
        layout.compression = compression;
    WAVEFORMATEX pcm = pcmFormat(8000, 1, 16);
    std::vector<AudioTrack> audio(audios, pcmAudio(pcm, sinePcm(pcm, 800)));
    std::string path = folder.path("streams.avi");
    EXPECT_TRUE(writeAvi(path, video, audio));
    return path;
}

TEST(MediaContainerVfW, CountsTheStreamsOfAnAvi)
{
    REQUIRE_MEDIA(oneAndOne, "probe-1v1a.avi");
    REQUIRE_MEDIA(twoAndTwo, "probe-2v2a.avi");
    REQUIRE_MEDIA(fiveVideo, "probe-5v.avi");
    expectCounts(probe(oneAndOne, false), MediaContainer::Success, 1, 1);
    expectCounts(probe(twoAndTwo, false), MediaContainer::Success, 2, 2);
    expectCounts(probe(fiveVideo, false), MediaContainer::Success, 5, 0);
}

TEST(MediaContainerVfW, CountsAnAviWrittenByAVIFile)
{
    TempFolder folder;
    expectCounts(probe(writeStreams(folder, 3, 2), false), MediaContainer::Success, 3, 2);
}

TEST(MediaContainerVfW, WaveFileIsOneAudioStream)
{
    REQUIRE_MEDIA(wave, "probe-tone.wav");
    expectCounts(probe(wave, false), MediaContainer::Success, 0, 1);
}

TEST(MediaContainerVfW, UnreadableFilesGiveZeroCountsAndSuccess)
{
    REQUIRE_MEDIA(matroska, "probe-1v1a.mkv");
    REQUIRE_MEDIA(text, "probe-text.txt");
    expectCounts(probe(matroska, false), MediaContainer::Success, 0, 0);
    expectCounts(probe(text, false), MediaContainer::Success, 0, 0);
    TempFolder folder;
    expectCounts(probe(folder.path("missing.avi"), false), MediaContainer::Success, 0, 0);
}

TEST(MediaContainerVfW, DamagedAviIsNotHandedToAVIFile)
{
    TempFolder folder;
    std::string path = writeStreams(folder, 2, 1);
    expectCounts(probe(path, false), MediaContainer::Success, 2, 1);
    // An index entry far past the data makes AVIFile read outside the file:
    // the file is refused whole, as a file AVIFile cannot read.
    ASSERT_TRUE(patchIndexEntry(path, 0, 2, 0x7FFFFFF0));
    expectCounts(probe(path, false), MediaContainer::Success, 0, 0);
}

TEST(MediaContainerVfW, NullCountPointersAreLeftOut)
{
    REQUIRE_MEDIA(twoAndTwo, "probe-2v2a.avi");
    char* file = const_cast<char*>(twoAndTwo.c_str());
    int video = kUntouched;
    int audio = kUntouched;
    EXPECT_EQ(MediaContainer::streamsNumber(file, false, &video, nullptr), MediaContainer::Success);
    EXPECT_EQ(video, 2);
    EXPECT_EQ(MediaContainer::streamsNumber(file, false, nullptr, &audio), MediaContainer::Success);
    EXPECT_EQ(audio, 2);
    EXPECT_EQ(MediaContainer::streamsNumber(file, false, nullptr, nullptr), MediaContainer::Success);
}

TEST(MediaContainerVfW, NullFileNameCountsNothing)
{
    Counts counts;
    counts.result = MediaContainer::streamsNumber(nullptr, false, &counts.video, &counts.audio);
    expectCounts(counts, MediaContainer::Success, 0, 0);
}

TEST(MediaContainerDirectShow, CountsTheStreamsTheGraphRenders)
{
    REQUIRE_MEDIA(oneAndOne, "probe-1v1a.avi");
    REQUIRE_MEDIA(twoAndTwo, "probe-2v2a.avi");
    expectCounts(probe(oneAndOne, true), MediaContainer::Success, 1, 1);
    expectCounts(probe(twoAndTwo, true), MediaContainer::Success, 2, 2);
}

TEST(MediaContainerDirectShow, CountsAtMostFourStreamsOfAKind)
{
    REQUIRE_MEDIA(fiveVideo, "probe-5v.avi");
    expectCounts(probe(fiveVideo, true), MediaContainer::Success, 4, 0);
}

TEST(MediaContainerDirectShow, CountsOtherContainers)
{
    REQUIRE_MEDIA(wave, "probe-tone.wav");
    REQUIRE_MEDIA(matroska, "probe-1v1a.mkv");
    expectCounts(probe(wave, true), MediaContainer::Success, 0, 1);
    expectCounts(probe(matroska, true), MediaContainer::Success, 1, 1);
}

TEST(MediaContainerDirectShow, FileTheGraphCannotRender)
{
    // Neither the graph nor the media detector reads a text file: the
    // graph's result stands and the counts stay 0.
    REQUIRE_MEDIA(text, "probe-text.txt");
    expectCounts(probe(text, true), MediaContainer::CannotRender, 0, 0);
    TempFolder folder;
    expectCounts(probe(folder.path("missing.avi"), true), MediaContainer::CannotRender, 0, 0);
}

TEST(MediaContainerDirectShow, NullCountPointersAreLeftOut)
{
    REQUIRE_MEDIA(twoAndTwo, "probe-2v2a.avi");
    char* file = const_cast<char*>(twoAndTwo.c_str());
    int video = kUntouched;
    int audio = kUntouched;
    EXPECT_EQ(MediaContainer::streamsNumber(file, true, &video, nullptr), MediaContainer::Success);
    EXPECT_EQ(video, 2);
    EXPECT_EQ(MediaContainer::streamsNumber(file, true, nullptr, &audio), MediaContainer::Success);
    EXPECT_EQ(audio, 2);
    EXPECT_EQ(MediaContainer::streamsNumber(file, true, nullptr, nullptr), MediaContainer::Success);
}

TEST(MediaContainerDirectShow, NullFileNameCannotBeOpened)
{
    Counts counts;
    counts.result = MediaContainer::streamsNumber(nullptr, true, &counts.video, &counts.audio);
    expectCounts(counts, MediaContainer::CannotOpenFile, 0, 0);
}

TEST(MediaContainerDirectShow, LeavesNoGraphRegistered)
{
    REQUIRE_MEDIA(fiveVideo, "probe-5v.avi");
    REQUIRE_MEDIA(text, "probe-text.txt");
    int before = graphsInRot();
    ASSERT_GE(before, 0);
    probe(fiveVideo, true);
    probe(text, true);
    EXPECT_EQ(graphsInRot(), before);
}

TEST(MediaContainerDirectShow, CountsAnAviWrittenByAVIFile)
{
    TempFolder folder;
    expectCounts(probe(writeStreams(folder, 2, 3), true), MediaContainer::Success, 2, 3);
}

TEST(MediaContainerDirectShow, StreamWithoutDecoderBesideOneWithDecoder)
{
    // No decoder knows 'ZZZZ'. Wine's splitter offers no pin for such a
    // stream and RenderFile answers S_OK, so the video is not seen; where
    // RenderFile reports the video as not rendered, the detector counts it.
    TempFolder folder;
    Counts counts = probe(writeStreams(folder, 1, 1, mmioFOURCC('Z', 'Z', 'Z', 'Z')), true);
    EXPECT_EQ(counts.result, MediaContainer::Success);
    EXPECT_EQ(counts.audio, 1);
    EXPECT_GE(counts.video, 0);
    EXPECT_LE(counts.video, 1);
}

TEST(MediaContainerDirectShow, OnlyStreamWithoutDecoder)
{
    // The graph cannot render it. A detector that reads the stream's type
    // makes it a success with the detector's count; Wine's detector opens
    // the file but fails to give the type, so the graph's result stands.
    TempFolder folder;
    Counts counts = probe(writeStreams(folder, 1, 0, mmioFOURCC('Z', 'Z', 'Z', 'Z')), true);
    if (counts.result == MediaContainer::Success) {
        EXPECT_EQ(counts.video, 1);
    } else {
        EXPECT_EQ(counts.result, MediaContainer::CannotRender);
        EXPECT_EQ(counts.video, 0);
    }
    EXPECT_EQ(counts.audio, 0);
}

TEST(MediaContainerRecount, RenderResultsCountedThroughTheGraph)
{
    for (HRESULT hr : {S_OK, VFW_S_DUPLICATE_NAME, VFW_S_PARTIAL_RENDER}) {
        RenderVerdict verdict = judgeRender(hr, true, true);
        EXPECT_TRUE(verdict.countGraph) << std::hex << hr;
        EXPECT_FALSE(verdict.detect.any()) << std::hex << hr;
    }
}

TEST(MediaContainerRecount, KindNotRenderedIsCountedByTheDetector)
{
    RenderVerdict video = judgeRender(VFW_S_VIDEO_NOT_RENDERED, true, true);
    EXPECT_TRUE(video.countGraph);
    EXPECT_TRUE(video.detect.video);
    EXPECT_FALSE(video.detect.audio);
    RenderVerdict audio = judgeRender(VFW_S_AUDIO_NOT_RENDERED, true, true);
    EXPECT_TRUE(audio.countGraph);
    EXPECT_FALSE(audio.detect.video);
    EXPECT_TRUE(audio.detect.audio);
    EXPECT_FALSE(judgeRender(VFW_S_VIDEO_NOT_RENDERED, false, true).detect.any());
    EXPECT_FALSE(judgeRender(VFW_S_AUDIO_NOT_RENDERED, true, false).detect.any());
}

TEST(MediaContainerRecount, FailedRenderLeavesBothRequestedKindsToTheDetector)
{
    for (HRESULT hr : {VFW_E_CANNOT_RENDER, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), E_FAIL, S_FALSE}) {
        RenderVerdict verdict = judgeRender(hr, true, true);
        EXPECT_FALSE(verdict.countGraph) << std::hex << hr;
        EXPECT_TRUE(verdict.detect.video) << std::hex << hr;
        EXPECT_TRUE(verdict.detect.audio) << std::hex << hr;
    }
    RenderVerdict audioOnly = judgeRender(VFW_E_CANNOT_RENDER, false, true);
    EXPECT_FALSE(audioOnly.detect.video);
    EXPECT_TRUE(audioOnly.detect.audio);
}

TEST(MediaContainerRecount, DetectorCountJoinsTheGraphCount)
{
    // One stream rendered, a second of the kind not: the detector's 2 holds.
    int count = 1;
    mergeDetectedCount(&count, true, 2, true);
    EXPECT_EQ(count, 2);
    // The detector never lowers what the graph connected.
    count = 2;
    mergeDetectedCount(&count, true, 1, true);
    EXPECT_EQ(count, 2);
    // A working graph reported the kind: there is at least one.
    count = 0;
    mergeDetectedCount(&count, true, 0, true);
    EXPECT_EQ(count, 1);
    // After a failed render the detector's count stands, 0 included.
    count = 0;
    mergeDetectedCount(&count, true, 0, false);
    EXPECT_EQ(count, 0);
    mergeDetectedCount(&count, true, 3, false);
    EXPECT_EQ(count, 3);
}

TEST(MediaContainerRecount, KindsNotDetectedStayAsTheyAre)
{
    int count = 2;
    mergeDetectedCount(&count, false, 5, true);
    EXPECT_EQ(count, 2);
    mergeDetectedCount(nullptr, true, 5, true);
}

TEST(MediaContainerRecount, ResultAfterTheDetector)
{
    EXPECT_EQ(combinedResult(MediaContainer::Success, MediaContainer::Success), MediaContainer::Success);
    EXPECT_EQ(combinedResult(MediaContainer::Success, MediaContainer::CannotOpenFile), MediaContainer::CannotOpenFile);
    EXPECT_EQ(combinedResult(MediaContainer::CannotRender, MediaContainer::Success), MediaContainer::Success);
    EXPECT_EQ(combinedResult(MediaContainer::CannotRender, MediaContainer::UnreadableMediaType),
              MediaContainer::CannotRender);
}

TEST(MediaContainerMessage, TextsOfTheTable)
{
    for (const MessageEntry& entry : kProbeMessages) {
        char* text = MediaContainer::Message(static_cast<MediaContainer::Error>(entry.id - 900));
        ASSERT_NE(text, nullptr) << entry.id;
        EXPECT_STREQ(text, entry.text);
    }
}

TEST(MediaContainerMessage, UnknownCodesGiveNull)
{
    EXPECT_EQ(MediaContainer::Message(static_cast<MediaContainer::Error>(14)), nullptr);
    EXPECT_EQ(MediaContainer::Message(static_cast<MediaContainer::Error>(-1)), nullptr);
}

TEST(MediaContainerMessage, OneSharedBuffer)
{
    char* first = MediaContainer::Message(MediaContainer::CannotRender);
    char* second = MediaContainer::Message(MediaContainer::Success);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "Success");
}

AM_MEDIA_TYPE mediaType(const GUID& major, const GUID& sub)
{
    AM_MEDIA_TYPE mt = {};
    mt.majortype = major;
    mt.subtype = sub;
    return mt;
}

struct Classification {
    const GUID* major;
    const GUID* sub;
    bool audio;
    bool video;
};

TEST(MediaContainerMediaTypes, AudioAndVideoByMajorTypeAndSubtype)
{
    const GUID none = GUID_NULL;
    const Classification cases[] = {
        {&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24, false, true},
        {&MEDIATYPE_AnalogVideo, &none, false, true},
        {&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM, true, false},
        {&MEDIATYPE_AnalogAudio, &none, true, false},
        {&MEDIATYPE_Midi, &none, true, false},
        {&MEDIATYPE_Interleaved, &none, true, true},
        {&MEDIATYPE_Text, &none, false, false},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_Avi, true, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_Asf, true, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_MPEG1System, true, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_MPEG1VideoCD, true, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_WAVE, true, false},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_AIFF, true, false},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_MPEG1Audio, true, false},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_MPEG1Video, false, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_DssVideo, false, true},
        {&MEDIATYPE_Stream, &MEDIASUBTYPE_PCM, false, false},
        {&MEDIATYPE_MPEG2_PACK, &MEDIASUBTYPE_MPEG2_PROGRAM, true, true},
        {&MEDIATYPE_MPEG2_PACK, &MEDIASUBTYPE_MPEG2_TRANSPORT, true, true},
        {&MEDIATYPE_MPEG2_PACK, &MEDIASUBTYPE_DOLBY_AC3, true, false},
        {&MEDIATYPE_MPEG2_PACK, &MEDIASUBTYPE_MPEG2_AUDIO, true, false},
        {&MEDIATYPE_MPEG2_PACK, &MEDIASUBTYPE_MPEG2_VIDEO, false, false},
    };
    int row = 0;
    for (const Classification& c : cases) {
        AM_MEDIA_TYPE mt = mediaType(*c.major, *c.sub);
        EXPECT_EQ(MediaContainer::isAudio(mt), c.audio) << "row " << row;
        EXPECT_EQ(MediaContainer::isVideo(mt), c.video) << "row " << row;
        ++row;
    }
}

} // namespace
