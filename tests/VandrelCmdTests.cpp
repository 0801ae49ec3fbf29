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
        VideoSpec video;
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
