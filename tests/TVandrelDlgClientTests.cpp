#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include <windows.h>

#include <commctrl.h>

#include "DialogWatcher.h"
#include "MediaWriter.h"
#include "MessagePump.h"
#include "TestCodec.h"
#include "TestMedia.h"
#include "TVandrelApp.h"
#include "Trelix.h"
#include "VandrelIds.h"

using namespace MediaWriter;

namespace {

// Leaves a copy of a written file in the media folder, where the ffmpeg
// check that runs after this program finds it.
void keepForProbe(const std::string& file, const char* name)
{
    EXPECT_TRUE(TestMedia::keep(file, name)) << name;
}

class VandrelDialog : public testing::Test {
protected:
    void SetUp() override
    {
        app = std::make_unique<TVandrelApp>(GetModuleHandleA(nullptr));
        ASSERT_TRUE(app->create(SW_SHOWNORMAL)) << GetLastError();
        dialog = app->client().window();
    }

    // The frame posts WM_QUIT when it goes; the next test's modal loops must not see it.
    void TearDown() override
    {
        app.reset();
        MSG message;
        while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }

    bool enabled(int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE; }
    bool checked(int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
    std::string text(int id)
    {
        char buffer[512] = "";
        GetDlgItemTextA(dialog, id, buffer, sizeof buffer);
        return buffer;
    }
    void click(int id) { SendDlgItemMessageA(dialog, id, BM_CLICK, 0, 0); }

    // 16x8 video at 25 fps with 8 kHz mono PCM of the same length.
    std::string videoAndAudio(const std::string& name, int frames)
    {
        std::string path = folder.path(name);
        VideoTrack video;
        video.frames = std::string(frames, 'K');
        WAVEFORMATEX format = pcmFormat(8000, 1, 16);
        EXPECT_TRUE(writeAvi(path, {video}, {pcmAudio(format, sinePcm(format, frames * 320))}));
        return path;
    }

    void runToEnd()
    {
        click(IDC_START);
        ASSERT_TRUE(pumpUntil([this] { return !app->client().runInProgress(); }));
    }

    // A library box that a run shows from its own thread: its text and icon,
    // then OK.
    struct Box {
        std::string text;
        bool errorIcon;
        bool warningIcon;
    };
    // The icon is the box's icon static (its id differs between Windows and Wine).
    static Box readBox(HWND box)
    {
        char line[512] = "";
        GetDlgItemTextA(box, 0xFFFF, line, sizeof line);
        HICON icon = nullptr;
        for (HWND child = GetWindow(box, GW_CHILD); child && !icon; child = GetWindow(child, GW_HWNDNEXT))
            if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
        return {line, icon && icon == LoadIcon(nullptr, IDI_HAND), icon && icon == LoadIcon(nullptr, IDI_EXCLAMATION)};
    }
    std::vector<Box> runClosingBoxes()
    {
        std::vector<Box> boxes;
        click(IDC_START);
        bool ended = pumpUntil([&] {
            HWND box = FindWindowA("#32770", "Trelix library");
            if (box && IsWindowVisible(box)) {
                boxes.push_back(readBox(box));
                SendMessageA(box, WM_COMMAND, IDOK, 0);
            }
            return !app->client().runInProgress();
        });
        EXPECT_TRUE(ended);
        return boxes;
    }

    // The state EndConversion leaves: no output, Start off, the dialog usable.
    void expectEndOfRunState()
    {
        EXPECT_EQ("", text(IDC_OUT_FILE));
        EXPECT_EQ("", text(IDC_PERIOD));
        EXPECT_FALSE(enabled(IDC_START));
        EXPECT_FALSE(enabled(IDC_STOP));
        EXPECT_FALSE(enabled(IDC_CONFIGURE_AVI));
        EXPECT_TRUE(enabled(IDOK));
        EXPECT_TRUE(enabled(IDCANCEL));
        EXPECT_EQ(0, SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    }

    TempFolder folder;
    std::unique_ptr<TVandrelApp> app;
    HWND dialog = nullptr;
};

TEST_F(VandrelDialog, FrameAndInitialChoices)
{
    char caption[64] = "";
    GetWindowTextA(app->frame(), caption, sizeof caption);
    EXPECT_STREQ("Trelix video converter", caption);
    LONG style = GetWindowLongA(app->frame(), GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    for (int id : {IDC_MODE_BOTH, IDC_PREVIEW_ON, IDC_VIDEO_AUTO, IDC_SAME_FILE, IDC_AUDIO_AUTO, IDC_OUT_DIRECTSHOW,
                   IDC_FILL_HOLLOW})
        EXPECT_TRUE(checked(id)) << id;
    for (int id : {IDC_MODE_VIDEO, IDC_MODE_AUDIO, IDC_VIDEO_RAW, IDC_AUDIO_RAW, IDC_TRUNCATE, IDC_MINIMIZE, IDC_OUT_VFW})
        EXPECT_FALSE(checked(id)) << id;
    EXPECT_EQ("truncate output to the shortest input stream's duration", text(IDC_TRUNCATE));
    EXPECT_EQ("fill up 'hollow' video streams (if any)", text(IDC_FILL_HOLLOW));
}

TEST_F(VandrelDialog, ControlsBeforeAnyFile)
{
    for (int id : {IDOK, IDCANCEL, IDC_MODE_VIDEO, IDC_MODE_AUDIO, IDC_MODE_BOTH, IDC_VIDEO_SELECT, IDC_VIDEO_RAW,
                   IDC_SAME_FILE, IDC_PREVIEW_ON, IDC_AUDIO_RAW, IDC_VIDEO_UNCOMPRESSED, IDC_AUDIO_UNCOMPRESSED,
                   IDC_CONTEXTHELP, IDC_HELPCONTENTS, IDC_MINIMIZE})
        EXPECT_TRUE(enabled(id)) << id;
    for (int id : {IDC_STOP, IDC_START, IDC_OUT_SELECT, IDC_AUDIO_SELECT, IDC_VIDEO_CONFIG, IDC_VIDEO_FIRST,
                   IDC_VIDEO_LAST, IDC_VIDEO_TRACK, IDC_VIDEO_KEY, IDC_AUDIO_FIRST, IDC_AUDIO_TRACK, IDC_CONFIGURE_AVI,
                   IDC_TRUNCATE, IDC_VIDEO_COMPRESSOR, IDC_RESET})
        EXPECT_FALSE(enabled(id)) << id;
    click(IDC_SAME_FILE);
    EXPECT_TRUE(enabled(IDC_AUDIO_SELECT));
    click(IDC_MODE_VIDEO);
    EXPECT_FALSE(enabled(IDC_AUDIO_SELECT));
    EXPECT_FALSE(enabled(IDC_SAME_FILE));
}

TEST_F(VandrelDialog, VideoFileOpensBothStreamsOfTheSameFile)
{
    std::string path = videoAndAudio("both.avi", 10);
    app->client().ChooseVideoFile(path);
    EXPECT_EQ(path, text(IDC_VIDEO_FILE));
    EXPECT_EQ(path, text(IDC_AUDIO_FILE));
    EXPECT_EQ("0", text(IDC_VIDEO_FIRST));
    EXPECT_EQ("9", text(IDC_VIDEO_LAST));
    EXPECT_EQ("frame rate = 25.00 /s", text(IDC_FRAME_RATE));
    EXPECT_EQ("stream duration = 0.400 s", text(IDC_VIDEO_DURATION));
    EXPECT_EQ("3199", text(IDC_AUDIO_LAST));
    EXPECT_EQ("samples rate = 8000 /s", text(IDC_SAMPLE_RATE));
    EXPECT_TRUE(checked(IDC_VIDEO_VFW));
    EXPECT_FALSE(checked(IDC_VIDEO_AUTO));
    EXPECT_TRUE(checked(IDC_AUDIO_ACM));
    EXPECT_EQ(1, SendDlgItemMessageA(dialog, IDC_VIDEO_TRACK, CB_GETCOUNT, 0, 0));
    for (int id : {IDC_VIDEO_FIRST, IDC_VIDEO_LAST, IDC_VIDEO_END, IDC_VIDEO_TRACK, IDC_AUDIO_FIRST, IDC_AUDIO_LAST,
                   IDC_AUDIO_END, IDC_AUDIO_TRACK, IDC_OUT_SELECT})
        EXPECT_TRUE(enabled(id)) << id;
    EXPECT_FALSE(enabled(IDC_VIDEO_KEY));
    EXPECT_FALSE(enabled(IDC_VIDEO_CONFIG));
    EXPECT_FALSE(enabled(IDC_START));
}

TEST_F(VandrelDialog, RangeRuleCutsTheLastFrame)
{
    app->client().ChooseVideoFile(videoAndAudio("range.avi", 10));
    SetDlgItemTextA(dialog, IDC_VIDEO_FIRST, "50");
    SetDlgItemTextA(dialog, IDC_VIDEO_LAST, "99");
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_VIDEO_LAST, EN_KILLFOCUS), 0);
    EXPECT_EQ("9", text(IDC_VIDEO_LAST));
    EXPECT_EQ("9", text(IDC_VIDEO_FIRST));
}

TEST_F(VandrelDialog, OutputEnablesStartAndEndOfRunDestroysIt)
{
    app->client().ChooseVideoFile(videoAndAudio("in.avi", 10));
    click(IDC_OUT_VFW);
    click(IDC_VIDEO_UNCOMPRESSED);
    click(IDC_AUDIO_UNCOMPRESSED);
    EXPECT_TRUE(checked(IDC_OUT_VFW));
    EXPECT_TRUE(checked(IDC_VIDEO_UNCOMPRESSED));
    std::string out = folder.path("out.avi");
    app->client().ChooseOutputFile(out);
    EXPECT_EQ(out, text(IDC_OUT_FILE));
    EXPECT_EQ("Interleaving period: 750 ms", text(IDC_PERIOD));
    EXPECT_TRUE(enabled(IDC_START));
    EXPECT_TRUE(enabled(IDC_CONFIGURE_AVI));
    EXPECT_FALSE(enabled(IDC_TRUNCATE));
    runToEnd();
    EXPECT_EQ("", text(IDC_OUT_FILE));
    EXPECT_FALSE(enabled(IDC_START));
    EXPECT_FALSE(checked(IDC_VIDEO_UNCOMPRESSED));
    EXPECT_EQ("frame 10, audio sample 3200", text(IDC_STATUS));
    EXPECT_TRUE(enabled(IDOK));

    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, video->lastError);
    EXPECT_EQ(10, video->duration());
    long frame = 3;
    unsigned char* bits = video->getFrameBits(frame);
    ASSERT_NE(nullptr, bits);
    std::vector<BYTE> expected = framePixels(16, 8, 3);
    EXPECT_EQ(0, memcmp(expected.data(), bits, expected.size()));
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, audio->lastError);
    EXPECT_EQ(3200, audio->duration());
    keepForProbe(out, "vandrel-dialog-output.avi");
}

TEST_F(VandrelDialog, RunDisablesTheDialogAndStopLeavesAReadableFile)
{
    app->client().ChooseVideoFile(videoAndAudio("long.avi", 50));
    click(IDC_OUT_VFW);
    click(IDC_VIDEO_UNCOMPRESSED);
    click(IDC_AUDIO_UNCOMPRESSED);
    std::string out = folder.path("stopped.avi");
    app->client().ChooseOutputFile(out);
    ASSERT_TRUE(enabled(IDC_START)) << text(IDC_OUT_FILE) << "/" << text(IDC_PERIOD) << "/" << text(IDC_VIDEO_LAST) << "/" << text(IDC_AUDIO_LAST);
    click(IDC_START);
    EXPECT_TRUE(app->client().isRunning());
    EXPECT_TRUE(enabled(IDC_STOP));
    EXPECT_TRUE(enabled(IDC_PREVIEW_ON));
    EXPECT_TRUE(enabled(IDC_HELPCONTENTS));
    for (int id : {IDOK, IDCANCEL, IDC_START, IDC_VIDEO_SELECT, IDC_OUT_SELECT, IDC_MODE_BOTH, IDC_VIDEO_FIRST,
                   IDC_OUT_VFW, IDC_FILL_HOLLOW, IDC_VIDEO_AUTO})
        EXPECT_FALSE(enabled(id)) << id;
    SendMessageA(app->frame(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(app->frame()));
    ASSERT_TRUE(pumpUntil([this] { return std::atoi(text(IDC_STATUS).c_str() + 6) >= 5; }));
    click(IDC_STOP);
    ASSERT_TRUE(pumpUntil([this] { return !app->client().runInProgress(); }));
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, video->lastError);
    EXPECT_GT(video->duration(), 0);
    EXPECT_LT(video->duration(), 50);
}

TEST_F(VandrelDialog, FileThatNoBackendOpensShowsTheLibraryBox)
{
    std::string path = folder.path("not-media.avi");
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "not a media file at all", 23, &written, nullptr);
    CloseHandle(file);
    std::vector<std::string> texts;
    DialogWatcher::Driver driver(GetCurrentThreadId(), {{"Trelix library", DialogWatcher::closeMessageBox(texts)}});
    app->client().ChooseVideoFile(path);
    ASSERT_TRUE(driver.completed());
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(0u, texts[0].rfind("Error number ", 0)) << texts[0];
    EXPECT_TRUE(texts[0].find(" (VfW/ACM):\n") != std::string::npos ||
                texts[0].find(" (DirectShow):\n") != std::string::npos) << texts[0];
    EXPECT_EQ("", text(IDC_VIDEO_FILE));
    EXPECT_EQ("", text(IDC_AUDIO_FILE));
    EXPECT_FALSE(enabled(IDC_OUT_SELECT));
    EXPECT_FALSE(enabled(IDC_VIDEO_LAST));
}

// Cuts a file to `size` bytes through a handle of its own, while the sources
// still hold it open.
bool cutFile(const std::string& path, LONG size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool cut = SetFilePointer(file, size, nullptr, FILE_BEGIN) == static_cast<DWORD>(size) && SetEndOfFile(file);
    CloseHandle(file);
    return cut;
}

LONG fileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ? static_cast<LONG>(data.nFileSizeLow) : -1;
}

// The source file loses the second half of its frames after the open: the
// run converts up to the cut, then shows the library's box for the fatal read
// error (stop icon) and ends. The failed source goes at the end of the run,
// the output is closed and holds the frames read before the cut
// (vandrel-output-probe.sh counts them with ffprobe).
TEST_F(VandrelDialog, SourceCutDuringTheRunShowsItsFatalReadError)
{
    std::string path = folder.path("cut.avi");
    VideoTrack video;
    video.width = 64;
    video.height = 48;
    video.frames = std::string(100, 'K');
    ASSERT_TRUE(writeAvi(path, {video}));
    click(IDC_MODE_VIDEO);
    app->client().ChooseVideoFile(path);
    ASSERT_EQ("99", text(IDC_VIDEO_LAST));
    ASSERT_TRUE(checked(IDC_VIDEO_VFW));
    click(IDC_OUT_VFW);
    click(IDC_VIDEO_UNCOMPRESSED);
    std::string out = folder.path("cut-out.avi");
    app->client().ChooseOutputFile(out);
    ASSERT_TRUE(enabled(IDC_START));
    ASSERT_TRUE(cutFile(path, fileSize(path) / 2));

    std::vector<Box> boxes = runClosingBoxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error number 11 (VfW/ACM):\nCannot decompress", boxes[0].text);
    EXPECT_TRUE(boxes[0].errorIcon);
    expectEndOfRunState();
    EXPECT_EQ("", text(IDC_VIDEO_FILE));
    EXPECT_EQ("", text(IDC_VIDEO_LAST));
    EXPECT_FALSE(enabled(IDC_VIDEO_LAST));
    EXPECT_FALSE(enabled(IDC_OUT_SELECT));
    long converted = std::atol(text(IDC_STATUS).c_str() + 6);
    EXPECT_EQ(0u, text(IDC_STATUS).rfind("frame ", 0)) << text(IDC_STATUS);
    EXPECT_GT(converted, 10);
    EXPECT_LT(converted, 60);

    std::unique_ptr<VideoSourceStream> written(VideoSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, written->lastError);
    EXPECT_EQ(converted, written->duration());
    long last = converted - 1;
    unsigned char* bits = written->getFrameBits(last);
    ASSERT_NE(nullptr, bits);
    std::vector<BYTE> expected = framePixels(64, 48, static_cast<int>(converted - 1));
    EXPECT_EQ(0, memcmp(expected.data(), bits, expected.size()));
    written.reset();
    keepForProbe(out, "vandrel-cut-source.avi");
    std::string count = folder.path("cut.frames");
    char frames[16];
    std::snprintf(frames, sizeof frames, "%ld", converted);
    HANDLE file = CreateFileA(count.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(file, frames, static_cast<DWORD>(std::strlen(frames)), &done, nullptr));
    CloseHandle(file);
    keepForProbe(count, "vandrel-cut-source.frames");
}

// An output file that another program holds open without sharing is
// refused when it is chosen: the library's box with the stop icon, and no
// output afterwards; the sources stay.
TEST_F(VandrelDialog, OutputFileInUseShowsTheFatalCreateError)
{
    std::string path = videoAndAudio("in-use-in.avi", 10);
    app->client().ChooseVideoFile(path);
    click(IDC_OUT_VFW);
    std::string out = folder.path("in-use.avi");
    HANDLE file = CreateFileA(out.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::vector<Box> boxes;
    {
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"Trelix library", [&boxes](HWND box) {
            boxes.push_back(readBox(box));
            DialogWatcher::click(box, IDOK);
            DialogWatcher::waitFor([box] { return !IsWindow(box); });
        }}});
        app->client().ChooseOutputFile(out);
        EXPECT_TRUE(driver.completed());
    }
    CloseHandle(file);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ("Error number 21 (VfW/ACM):\nCan't create an AVI file", boxes[0].text);
    EXPECT_TRUE(boxes[0].errorIcon);
    EXPECT_FALSE(boxes[0].warningIcon);
    EXPECT_EQ("", text(IDC_OUT_FILE));
    EXPECT_EQ("", text(IDC_PERIOD));
    EXPECT_FALSE(enabled(IDC_START));
    EXPECT_FALSE(enabled(IDC_CONFIGURE_AVI));
    EXPECT_TRUE(enabled(IDC_OUT_SELECT));
    EXPECT_EQ(path, text(IDC_VIDEO_FILE));
    EXPECT_EQ("9", text(IDC_VIDEO_LAST));
}

class HollowStream : public VandrelDialog, public testing::WithParamInterface<bool> {};

// Frame 2 is dropped: filled, frame 1 is written again in its place; not
// filled, nothing is written for it and the output keeps the gap (the writer
// places frames by index, so AVIFile stores an empty sample there).
TEST_P(HollowStream, DroppedFrameFollowsTheFillBox)
{
    bool fill = GetParam();
    std::string path = folder.path("hollow.avi");
    VideoTrack video;
    video.frames = "KK-K";
    ASSERT_TRUE(writeAvi(path, {video}));
    click(IDC_MODE_VIDEO);
    app->client().ChooseVideoFile(path);
    ASSERT_EQ("3", text(IDC_VIDEO_LAST));
    if (!fill)
        click(IDC_FILL_HOLLOW);
    EXPECT_EQ(fill, checked(IDC_FILL_HOLLOW));
    click(IDC_OUT_VFW);
    click(IDC_VIDEO_UNCOMPRESSED);
    std::string out = folder.path("hollow-out.avi");
    app->client().ChooseOutputFile(out);
    ASSERT_TRUE(enabled(IDC_START));
    runToEnd();
    EXPECT_EQ("frame 4", text(IDC_STATUS));
    std::unique_ptr<VideoSourceStream> written(VideoSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, written->lastError);
    ASSERT_EQ(4, written->duration());
    EXPECT_EQ(fill ? 2 : 1, written->findFrame(2));
    long frame = 2;
    unsigned char* bits = written->getFrameBits(frame);
    ASSERT_NE(nullptr, bits);
    std::vector<BYTE> expected = framePixels(16, 8, 1);
    EXPECT_EQ(0, memcmp(expected.data(), bits, expected.size()));
}

INSTANTIATE_TEST_SUITE_P(FillBox, HollowStream, testing::Bool());

// The real DirectShow writer. Under Wine its AVI mux answers no interleaving
// time, so the output report after its creation shows the fatal error 63 and
// the output goes; where the mux answers, the graph cannot run under Wine
// (the file writer lacks IStream) and Start shows error 22. Either way the
// box is the library's and the dialog is left without an output.
TEST_F(VandrelDialog, DirectShowWriterErrorsLeaveNoOutput)
{
    click(IDC_MODE_VIDEO);
    app->client().ChooseVideoFile(videoAndAudio("ds-in.avi", 10));
    ASSERT_TRUE(checked(IDC_OUT_DIRECTSHOW));
    std::vector<std::string> texts;
    {
        // Without a box the driver gives up after its wait.
        DialogWatcher::Driver driver(GetCurrentThreadId(), {{"Trelix library", DialogWatcher::closeMessageBox(texts)}});
        app->client().ChooseOutputFile(folder.path("ds-out.avi"));
    }
    if (!texts.empty()) {
        ASSERT_EQ(1u, texts.size());
        EXPECT_EQ("Error number 63 (DirectShow):\nCannot access the output interleaving properties", texts[0]);
        expectEndOfRunState();
        EXPECT_TRUE(enabled(IDC_OUT_SELECT));
        return;
    }
    click(IDC_VIDEO_UNCOMPRESSED);
    ASSERT_TRUE(enabled(IDC_START));
    std::vector<Box> boxes = runClosingBoxes();
    if (boxes.empty())
        GTEST_SKIP() << "the DirectShow writer ran: this platform's file writer has IStream";
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(0u, boxes[0].text.rfind("Error number 22 (DirectShow):\n", 0)) << boxes[0].text;
    EXPECT_TRUE(boxes[0].errorIcon);
    expectEndOfRunState();
    EXPECT_NE("", text(IDC_VIDEO_FILE));
}

class DirectShowSource : public VandrelDialog, public testing::WithParamInterface<const char*> {};

// Decoded through the DirectShow backend, stored uncompressed through VfW;
// vandrel-output-probe.sh compares the frames with ffmpeg's decode (PSNR).
TEST_P(DirectShowSource, ConvertsEveryFrame)
{
    REQUIRE_MEDIA(path, GetParam());
    click(IDC_MODE_VIDEO);
    click(IDC_VIDEO_DIRECTSHOW);
    app->client().ChooseVideoFile(path);
    ASSERT_EQ("49", text(IDC_VIDEO_LAST));
    EXPECT_TRUE(checked(IDC_VIDEO_DIRECTSHOW));
    EXPECT_TRUE(enabled(IDC_VIDEO_CONFIG));
    EXPECT_EQ("frame rate = 25.00 /s", text(IDC_FRAME_RATE));
    click(IDC_OUT_VFW);
    click(IDC_VIDEO_UNCOMPRESSED);
    std::string out = folder.path("ds-source-out.avi");
    app->client().ChooseOutputFile(out);
    ASSERT_TRUE(enabled(IDC_START));
    runToEnd();
    EXPECT_EQ("frame 50", text(IDC_STATUS));
    std::unique_ptr<VideoSourceStream> written(VideoSourceStream::open(&out[0], false, 0, nullptr));
    ASSERT_EQ(0, written->lastError);
    EXPECT_EQ(50, written->duration());
    keepForProbe(out, (std::string("vandrel-ds-") + GetParam() + ".avi").c_str());
}

// A visible window of the HTML Help engine (its viewer's frame class).
HWND helpWindow()
{
    HWND window = FindWindowA("HH Parent", nullptr);
    return window && IsWindowVisible(window) ? window : nullptr;
}

TEST(VandrelHelp, FileBesideTheProgram)
{
    EXPECT_EQ("C:\\Program Files\\Vandrel\\Vandrel.chm",
              TVandrelApp::helpFileFor("C:\\Program Files\\Vandrel\\Vandrel.exe"));
    EXPECT_EQ("Vandrel.chm", TVandrelApp::helpFileFor("Vandrel.exe"));
}

// Button 102 opens the contents window of the help file beside the program.
TEST_F(VandrelDialog, HelpButtonOpensTheContents)
{
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(app->helpFile().c_str())) << app->helpFile();
    click(IDC_HELPCONTENTS);
    ASSERT_TRUE(pumpUntil([] { return helpWindow() != nullptr; })) << "no help window for " << app->helpFile();
    EXPECT_TRUE(app->helpWasUsed());
    char caption[128] = "";
    GetWindowTextA(helpWindow(), caption, sizeof caption);
    EXPECT_STREQ("Vandrel help", caption);
    SendMessageA(app->frame(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(pumpUntil([] { return helpWindow() == nullptr; }));
}

// Button 101 enters context-help mode: the frame holds the mouse, a click on
// a control leaves the mode and shows that control's help, and no click
// reaches the control; Escape leaves the mode too.
TEST_F(VandrelDialog, ContextHelpModeShowsTheHelpOfTheClickedControl)
{
    click(IDC_CONTEXTHELP);
    ASSERT_TRUE(pumpUntil([this] { return app->inHelpMode(); }));
    EXPECT_EQ(app->frame(), GetCapture());
    MSG escape{app->frame(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    EXPECT_TRUE(app->translate(escape));
    EXPECT_FALSE(app->inHelpMode());

    click(IDC_CONTEXTHELP);
    ASSERT_TRUE(pumpUntil([this] { return app->inHelpMode(); }));
    RECT start;
    GetWindowRect(GetDlgItem(dialog, IDC_START), &start);
    POINT point{(start.left + start.right) / 2, (start.top + start.bottom) / 2};
    ScreenToClient(app->frame(), &point);
    MSG press{app->frame(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(point.x, point.y), 0, {}};
    EXPECT_TRUE(app->translate(press));
    EXPECT_FALSE(app->inHelpMode());
    EXPECT_NE(app->frame(), GetCapture());
    EXPECT_FALSE(app->client().isRunning());
    ASSERT_TRUE(pumpUntil([] { return helpWindow() != nullptr; }));
    EXPECT_TRUE(app->helpWasUsed());
}

// A button pressed while F1 is held down shows its help and does nothing else.
TEST_F(VandrelDialog, ButtonPressedWithF1HeldShowsItsHelp)
{
    ASSERT_EQ(nullptr, helpWindow());
    BYTE keys[256];
    ASSERT_TRUE(GetKeyboardState(keys));
    keys[VK_F1] = 0x80;
    ASSERT_TRUE(SetKeyboardState(keys));
    click(IDOK);
    keys[VK_F1] = 0;
    SetKeyboardState(keys);
    ASSERT_TRUE(pumpUntil([] { return helpWindow() != nullptr; }));
    EXPECT_TRUE(IsWindow(app->frame()));
    EXPECT_TRUE(app->helpWasUsed());
}

// Keys for the frame's system menu, pressed from inside the menu's own loop
// (a thread timer, which that loop serves): once the menu shows, Up (to its
// last command, Close) and F1; Escape when it is still open a second later.
HWND menuOwner = nullptr;
int menuTicks = 0;
bool menuLeftOpen = false;

void CALLBACK pressInMenu(HWND, UINT, UINT_PTR, DWORD)
{
    HWND menu = FindWindowA("#32768", nullptr);
    if (!menu || !IsWindowVisible(menu))
        return;
    if (menuTicks++ == 0) {
        PostMessageA(menuOwner, WM_KEYDOWN, VK_UP, 0);
        PostMessageA(menuOwner, WM_KEYDOWN, VK_F1, 0);
        PostMessageA(menuOwner, WM_KEYUP, VK_F1, 0xC0000001);
    } else if (menuTicks > 20) {
        menuLeftOpen = true;
        PostMessageA(menuOwner, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageA(menuOwner, WM_KEYDOWN, VK_ESCAPE, 0);
    }
}

// F1 while a menu of the frame is open enters context-help mode and picks the
// highlighted command, which shows its help instead of running: Close leaves
// the frame open, and the mode ends with the help.
TEST_F(VandrelDialog, F1InTheSystemMenuShowsTheHelpOfTheHighlightedCommand)
{
    ASSERT_EQ(nullptr, helpWindow());
    HWND frame = app->frame();
    menuOwner = frame;
    UINT_PTR timer = SetTimer(nullptr, 0, 50, pressInMenu);
    ASSERT_NE(0u, timer);
    PostMessageA(frame, WM_SYSCOMMAND, SC_KEYMENU, ' ');
    bool shown = pumpUntil([] { return helpWindow() != nullptr; });
    KillTimer(nullptr, timer);
    EXPECT_GT(menuTicks, 0) << "the system menu did not show";
    EXPECT_FALSE(menuLeftOpen);
    EXPECT_TRUE(shown);
    EXPECT_TRUE(IsWindow(frame));
    EXPECT_FALSE(app->inHelpMode());
    EXPECT_NE(frame, GetCapture());
    EXPECT_TRUE(app->helpWasUsed());
}

INSTANTIATE_TEST_SUITE_P(Containers, DirectShowSource, testing::Values("mjpeg.avi", "vp8.mkv"));

// Direct stream copy of a key/delta video with decoded audio from a separate
// WAV file, over a frame range that starts between key frames and a sample
// range: the range moves back to the key frame, the copied samples are the
// source's bytes with their key flags, the audio is the WAV's samples.
TEST_F(VandrelDialog, DirectCopyWithSeparateWaveOverRanges)
{
    REQUIRE_MEDIA(wave, "check-ffmpeg.wav");
    ASSERT_TRUE(TestCodec::install());
    std::string path = folder.path("keyed.avi");
    VideoTrack video;
    video.compression = TestCodec::kFourCC;
    video.frames = "KDDKDDKDD";
    ASSERT_TRUE(writeAvi(path, {video}));
    click(IDC_SAME_FILE);
    click(IDC_VIDEO_RAW);
    app->client().ChooseVideoFile(path);
    ASSERT_EQ("8", text(IDC_VIDEO_LAST));
    EXPECT_TRUE(enabled(IDC_VIDEO_KEY));
    EXPECT_FALSE(enabled(IDC_VIDEO_UNCOMPRESSED));
    app->client().ChooseAudioFile(wave);
    ASSERT_EQ("22049", text(IDC_AUDIO_LAST));
    EXPECT_EQ("samples rate = 22050 /s", text(IDC_SAMPLE_RATE));
    SetDlgItemTextA(dialog, IDC_VIDEO_FIRST, "4");
    SetDlgItemTextA(dialog, IDC_VIDEO_LAST, "7");
    SetDlgItemTextA(dialog, IDC_AUDIO_FIRST, "2205");
    SetDlgItemTextA(dialog, IDC_AUDIO_LAST, "13229");
    click(IDC_OUT_VFW);
    click(IDC_AUDIO_UNCOMPRESSED);
    std::string out = folder.path("copy-out.avi");
    app->client().ChooseOutputFile(out);
    ASSERT_TRUE(enabled(IDC_START));
    runToEnd();
    EXPECT_EQ("3", text(IDC_VIDEO_FIRST));
    EXPECT_EQ("frame 8, audio sample 13230", text(IDC_STATUS));

    std::unique_ptr<RawDataSourceStream> copied(RawDataSourceStream::open(&out[0], true, false, 0, nullptr));
    std::unique_ptr<RawDataSourceStream> original(RawDataSourceStream::open(&path[0], true, false, 0, nullptr));
    ASSERT_EQ(0, copied->lastError);
    ASSERT_EQ(0, original->lastError);
    ASSERT_EQ(5, copied->duration());
    for (long n = 0; n < 5; ++n) {
        long a = n, countA = 1, bytesA = -1, b = n + 3, countB = 1, bytesB = -1;
        bool keyA = false, keyB = false;
        unsigned char* dataA = copied->getData(a, countA, bytesA, keyA);
        ASSERT_NE(nullptr, dataA) << n;
        std::vector<unsigned char> copy(dataA, dataA + bytesA);
        unsigned char* dataB = original->getData(b, countB, bytesB, keyB);
        ASSERT_NE(nullptr, dataB) << n;
        ASSERT_EQ(bytesB, bytesA) << n;
        EXPECT_EQ(0, memcmp(copy.data(), dataB, bytesA)) << n;
        EXPECT_EQ(keyB, keyA) << n;
    }
    std::unique_ptr<AudioSourceStream> audio(AudioSourceStream::open(&out[0], false, 0, nullptr));
    std::unique_ptr<AudioSourceStream> source(AudioSourceStream::open(&wave[0], false, 0, nullptr));
    ASSERT_EQ(0, audio->lastError);
    ASSERT_EQ(0, source->lastError);
    ASSERT_EQ(11025, audio->duration());
    for (long n : {0L, 5000L, 11024L}) {
        unsigned char* written = audio->getSamples(n, n);
        ASSERT_NE(nullptr, written);
        short value = *reinterpret_cast<short*>(written);
        unsigned char* expected = source->getSamples(n + 2205, n + 2205);
        ASSERT_NE(nullptr, expected);
        EXPECT_EQ(*reinterpret_cast<short*>(expected), value) << n;
    }
}

} // namespace
