#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include <windows.h>

#include "MediaWriter.h"
#include "MessagePump.h"
#include "TConsoleConversion.h"
#include "TVandrelApp.h"
#include "Trelix.h"
#include "VandrelIds.h"

using namespace MediaWriter;

namespace {

std::string fileBytes(const std::string& name)
{
    std::ifstream file(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One set of choices, made in the dialog and given to the console program.
struct Choices {
    const char* name;
    bool copy;
    const char* videoRange; // FIRST:LAST, or null for the whole stream
    const char* audioRange;
    bool fillHollow;
    const char* frames;     // the source's frames ('-' dropped)
};

class SameFileAsTheDialog : public testing::TestWithParam<Choices> {
protected:
    // 16x8 video at 25 fps with 8 kHz mono PCM of the same length.
    std::string source(const Choices& choices)
    {
        std::string path = folder.path("source.avi");
        VideoTrack video;
        video.frames = choices.frames;
        WAVEFORMATEX format = pcmFormat(8000, 1, 16);
        EXPECT_TRUE(writeAvi(path, {video}, {pcmAudio(format, sinePcm(format, long(video.frames.size()) * 320))}));
        return path;
    }

    void setRange(HWND dialog, int firstId, int lastId, const char* range)
    {
        std::string text(range);
        size_t colon = text.find(':');
        SetDlgItemTextA(dialog, firstId, text.substr(0, colon).c_str());
        SetDlgItemTextA(dialog, lastId, text.substr(colon + 1).c_str());
    }

    std::string convertInDialog(const std::string& input, const Choices& choices)
    {
        auto app = std::make_unique<TVandrelApp>(GetModuleHandleA(nullptr));
        EXPECT_TRUE(app->create(SW_SHOWNORMAL));
        HWND dialog = app->client().window();
        auto click = [dialog](int id) { SendDlgItemMessageA(dialog, id, BM_CLICK, 0, 0); };
        if (choices.copy) {
            click(IDC_VIDEO_RAW);
            click(IDC_AUDIO_RAW);
        }
        app->client().ChooseVideoFile(input);
        if (!choices.fillHollow)
            click(IDC_FILL_HOLLOW);
        if (choices.videoRange)
            setRange(dialog, IDC_VIDEO_FIRST, IDC_VIDEO_LAST, choices.videoRange);
        if (choices.audioRange)
            setRange(dialog, IDC_AUDIO_FIRST, IDC_AUDIO_LAST, choices.audioRange);
        click(IDC_OUT_VFW);
        if (!choices.copy) {
            click(IDC_VIDEO_UNCOMPRESSED);
            click(IDC_AUDIO_UNCOMPRESSED);
        }
        std::string out = folder.path("dialog.avi");
        app->client().ChooseOutputFile(out);
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_START)));
        click(IDC_START);
        EXPECT_TRUE(pumpUntil([&app] { return !app->client().runInProgress(); }));
        // The frame posts WM_QUIT when it goes; later modal loops must not see it.
        app.reset();
        MSG message;
        while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        return out;
    }

    std::string convertInConsole(const std::string& input, const Choices& choices)
    {
        std::string out = folder.path("console.avi");
        std::vector<std::string> arguments = {"--output-backend", "vfw", "--quiet", input, out};
        if (choices.copy)
            arguments.insert(arguments.begin(), {"--copy-video", "--copy-audio"});
        if (choices.fillHollow)
            arguments.insert(arguments.begin(), "--fill-hollow");
        if (choices.videoRange)
            arguments.insert(arguments.begin(), {"--frames", choices.videoRange});
        if (choices.audioRange)
            arguments.insert(arguments.begin(), {"--samples", choices.audioRange});
        std::atomic<bool> stop{false};
        EXPECT_EQ(0, runVandrelCmd(arguments, stop));
        return out;
    }

    TempFolder folder;
};

// Byte for byte: the same chunks in the same order, the same headers and index.
TEST_P(SameFileAsTheDialog, ForTheSameChoices)
{
    const Choices& choices = GetParam();
    std::string input = source(choices);
    std::string dialogFile = convertInDialog(input, choices);
    std::string consoleFile = convertInConsole(input, choices);
    std::string dialogBytes = fileBytes(dialogFile), consoleBytes = fileBytes(consoleFile);
    ASSERT_GT(dialogBytes.size(), 1000u);
    EXPECT_EQ(dialogBytes.size(), consoleBytes.size());
    EXPECT_TRUE(dialogBytes == consoleBytes);
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(&consoleFile[0], false, 0, nullptr));
    ASSERT_EQ(0, video->lastError);
    EXPECT_GT(video->duration(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, SameFileAsTheDialog,
    testing::Values(Choices{"Decoded", false, nullptr, nullptr, true, "KKKKKKKKKKKK"},
                    Choices{"DirectCopy", true, nullptr, nullptr, true, "KDDDKDDDKDDD"},
                    Choices{"Ranges", false, "3:8", "100:2999", true, "KKKKKKKKKKKK"},
                    Choices{"CopyFromBetweenKeyFrames", true, "6:10", nullptr, true, "KDDDKDDDKDDD"},
                    Choices{"HollowNotFilled", false, nullptr, nullptr, false, "KK-KK-KK"}),
    [](const testing::TestParamInfo<Choices>& info) { return std::string(info.param.name); });

} // namespace

namespace {

TCommandSettings parsed(const std::vector<std::string>& arguments)
{
    TCommandSettings settings;
    std::string error;
    EXPECT_TRUE(parseCommandLine(arguments, settings, error)) << error;
    return settings;
}

std::string refusal(const std::vector<std::string>& arguments)
{
    TCommandSettings settings;
    std::string error;
    EXPECT_FALSE(parseCommandLine(arguments, settings, error));
    return error;
}

TEST(CommandLine, EveryOptionReachesItsChoice)
{
    TCommandSettings s = parsed({"--audio", "a.wav", "--video-track", "2", "--audio-track=3", "--video-backend",
                                 "vfw", "--audio-backend=directshow", "--output-backend", "vfw", "--frames", "5:9",
                                 "--samples", ":800", "--fill-hollow", "--truncate", "--interleave", "0.5",
                                 "--video-compressor", "Cinepak Video codec", "--audio-compressor", "IMA ADPCM",
                                 "--overwrite", "--quiet", "in.mkv", "out.avi", "b.avi", "c.avi"});
    EXPECT_EQ("a.wav", s.audioFile);
    EXPECT_EQ(2, s.videoTrack);
    EXPECT_EQ(3, s.audioTrack);
    EXPECT_TRUE(s.videoTrackGiven && s.audioTrackGiven);
    EXPECT_EQ(SourceBackend::VfW, s.videoBackend);
    EXPECT_EQ(SourceBackend::DirectShow, s.audioBackend);
    EXPECT_FALSE(s.outputDirectShow);
    EXPECT_EQ(5, s.videoFirst);
    EXPECT_EQ(9, s.videoLast);
    EXPECT_EQ(-1, s.audioFirst);
    EXPECT_EQ(800, s.audioLast);
    EXPECT_TRUE(s.fillHollow && s.truncate && s.overwrite && s.quiet);
    EXPECT_DOUBLE_EQ(0.5, s.interleaveSeconds);
    EXPECT_EQ("Cinepak Video codec", s.videoCompressor);
    EXPECT_EQ("IMA ADPCM", s.audioCompressor);
    ASSERT_EQ(2u, s.jobs.size());
    EXPECT_EQ("in.mkv", s.jobs[0].first);
    EXPECT_EQ("c.avi", s.jobs[1].second);

    TCommandSettings defaults = parsed({"--copy-video", "--copy-audio", "in.avi", "out.avi"});
    EXPECT_TRUE(defaults.copyVideo && defaults.copyAudio);
    EXPECT_EQ(SourceBackend::Automatic, defaults.videoBackend);
    EXPECT_TRUE(defaults.outputDirectShow);
    EXPECT_FALSE(defaults.fillHollow || defaults.truncate || defaults.overwrite || defaults.noVideo);
    EXPECT_TRUE(parsed({"--no-video", "in.wav", "out.avi"}).noVideo);
    EXPECT_TRUE(parsed({"--no-audio", "in.avi", "out.avi"}).noAudio);
    EXPECT_TRUE(parsed({"--help"}).help);
}

TEST(CommandLine, BadValuesAreNamed)
{
    EXPECT_EQ("bad value for --frames: \"9:5\"", refusal({"--frames", "9:5", "in.avi", "out.avi"}));
    EXPECT_EQ("bad value for --samples: \"1:2:3\"", refusal({"--samples=1:2:3", "in.avi", "out.avi"}));
    EXPECT_EQ("bad value for --video-track: \"-1\"", refusal({"--video-track", "-1", "in.avi", "out.avi"}));
    EXPECT_EQ("bad value for --audio-track: \"99999999999\"", refusal({"--audio-track", "99999999999", "i", "o"}));
    EXPECT_EQ("bad value for --audio-backend: \"vfw\"", refusal({"--audio-backend", "vfw", "in.avi", "out.avi"}));
    EXPECT_EQ("bad value for --interleave: \"0\"", refusal({"--interleave", "0", "in.avi", "out.avi"}));
    EXPECT_EQ("--interleave needs a value", refusal({"in.avi", "out.avi", "--interleave"}));
    EXPECT_EQ("unknown option --fast (see --help)", refusal({"--fast", "in.avi", "out.avi"}));
    EXPECT_EQ("unknown option --quiet=1 (see --help)", refusal({"--quiet=1", "in.avi", "out.avi"}));
    EXPECT_EQ("no OUTPUT for \"b.avi\"", refusal({"a.avi", "a-out.avi", "b.avi"}));
    EXPECT_EQ("no INPUT OUTPUT pair given (see --help)", refusal({"--quiet"}));
    EXPECT_FALSE(refusal({"--no-audio", "--samples", "1:2", "in.avi", "out.avi"}).empty());
    EXPECT_FALSE(refusal({"--copy-audio", "--audio-compressor", "IMA ADPCM", "in.avi", "out.avi"}).empty());
    EXPECT_FALSE(refusal({"--batch", "no-such-list.txt"}).empty());
}

TEST(CommandLine, ListFilePairsWithQuotesAndComments)
{
    TempFolder folder;
    std::string list = folder.path("list.txt");
    std::ofstream(list) << "# two pairs\r\n\"a b.avi\" out1.avi\r\n\r\n  c.mkv\t\"out 2.avi\"\n";
    TCommandSettings s = parsed({"--batch", list});
    ASSERT_EQ(2u, s.jobs.size());
    EXPECT_EQ("a b.avi", s.jobs[0].first);
    EXPECT_EQ("out1.avi", s.jobs[0].second);
    EXPECT_EQ("c.mkv", s.jobs[1].first);
    EXPECT_EQ("out 2.avi", s.jobs[1].second);
    std::ofstream(list) << "a.avi b.avi\n\"unclosed c.avi d.avi\n";
    EXPECT_EQ(list + ", line 2: expected INPUT OUTPUT", refusal({"--batch", list}));
}

} // namespace
