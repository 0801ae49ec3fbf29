#include <gtest/gtest.h>

#include <functional>
#include <memory>


#include "DialogWatcher.h"
#include "MediaWriter.h"
#include "TestStreams.h"

#include <commctrl.h>

using namespace DialogWatcher;

namespace {

using Script = std::function<void(SourceStream&)>;

// DirectShow-rooted test streams whose operations run a script on the
// worker thread, where it reports progress and looks at the dialog.
class ScriptedVideo : public TestVideoSource<DSAudioOrVideoStream> {
public:
    long findFrame(long frame) override
    {
        if (script)
            script(*this);
        return TestVideoSource::findFrame(frame);
    }
    Script script;
};

class ScriptedAudio : public TestAudioSource<DSAudioOrVideoStream> {
public:
    unsigned char* getSamples(long first, long last) override
    {
        if (script)
            script(*this);
        return TestAudioSource::getSamples(first, last);
    }
    Script script;
};

class ScriptedRaw : public TestRawSource<DSAudioOrVideoStream> {
public:
    unsigned char* getData(long& sample, long& samplesRead, long& bytesRead, bool& key) override
    {
        if (script)
            script(*this);
        sample = 4;
        samplesRead = 1;
        bytesRead = 2;
        key = true;
        return data;
    }
    double StreamSampleToTime(long& sample) override
    {
        if (script)
            script(*this);
        return TestRawSource::StreamSampleToTime(sample);
    }
    Script script;
    unsigned char data[2] = {1, 2};
};

HICON libraryIcon(int id)
{
    return LoadIconA(GetModuleHandleA("Trelix.dll"), MAKEINTRESOURCEA(id));
}

class WaitDialog : public testing::Test {
protected:
    HWND dialog() const { return findDialog(mainThread); }
    HWND bar() const { return GetDlgItem(dialog(), 102); }
    int position() const { return static_cast<int>(SendMessageA(bar(), PBM_GETPOS, 0, 0)); }

    // Reports one progress and waits until the dialog shows `text` at `pos`.
    void expectProgress(SourceStream& stream, int kind, const std::string& text, int pos, bool visible = true)
    {
        SCOPED_TRACE(kind);
        stream.notify()->progress(kind);
        EXPECT_TRUE(waitFor([&] {
            return itemText(dialog(), 101) == text && IsWindowVisible(bar()) == visible && (!visible || position() == pos);
        })) << itemText(dialog(), 101) << " at " << position();
    }

    DWORD mainThread = GetCurrentThreadId();
    Recorder recorder;
    MediaWriter::TempFolder folder;
};

TEST_F(WaitDialog, OpensAVfWSourceBehindThePlainDialog)
{
    std::string path = folder.path("video.avi");
    ASSERT_TRUE(MediaWriter::writeAvi(path, {MediaWriter::VideoTrack()}));
    char* file = const_cast<char*>(path.c_str());

    std::unique_ptr<SourceStream> video(SourceStream::open(0, nullptr, file, 0, nullptr));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_FALSE(video->usesDirectShow());
    EXPECT_NE(dynamic_cast<VfWVideoSourceStream*>(video.get()), nullptr);
    EXPECT_EQ(video->notify(), nullptr);

    ASSERT_EQ(recorder.dialogs().size(), 1u);
    const Snapshot& shown = recorder.dialogs()[0];
    EXPECT_FALSE(shown.titled);
    EXPECT_EQ(shown.text, "Opening the stream");
    EXPECT_EQ(shown.rangeHigh, 128);
    EXPECT_FALSE(shown.progressVisible);
    EXPECT_EQ(shown.icon, libraryIcon(1));

    // Raw data, chosen automatically, comes back as its SourceStream part.
    std::unique_ptr<SourceStream> raw(SourceStream::open(2 | 8, nullptr, file, 0, nullptr));
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->lastError, 0);
    EXPECT_TRUE(raw->isRawData());
    EXPECT_NE(dynamic_cast<VfWRawDataSourceStream*>(raw.get()), nullptr);
    ASSERT_EQ(recorder.dialogs().size(), 2u);
    EXPECT_EQ(recorder.dialogs()[1].icon, libraryIcon(3));

    // A failed open still returns the object with its code.
    std::string missing = folder.path("missing.avi");
    std::unique_ptr<SourceStream> audio(SourceStream::open(1, nullptr, const_cast<char*>(missing.c_str()), 0, nullptr));
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->lastError, 3);
    EXPECT_EQ(recorder.dialogs()[2].icon, libraryIcon(2));
}

TEST_F(WaitDialog, VfWOperationsRunWithoutADialog)
{
    std::string path = folder.path("video.avi");
    MediaWriter::VideoTrack layout;
    layout.frames = "K-K";
    ASSERT_TRUE(MediaWriter::writeAvi(path, {layout}));
    std::unique_ptr<VideoSourceStream> video(VideoSourceStream::open(const_cast<char*>(path.c_str()), false, 0, nullptr));
    ASSERT_EQ(video->lastError, 0);
    EXPECT_EQ(video->findFrame(0, nullptr, 1, nullptr), 0);
    long frame = 2;
    EXPECT_NE(video->getFrameBits(0, nullptr, frame, nullptr), nullptr);
    long sample = 1;
    EXPECT_EQ(video->StreamSampleToTime(0, nullptr, sample, nullptr), 40.0);
    EXPECT_TRUE(recorder.dialogs().empty());

    // A DirectShow stream that is not raw data converts times directly too.
    ScriptedVideo ds;
    ds.markOpened(10);
    EXPECT_EQ(static_cast<SourceStream&>(ds).StreamSampleToTime(0, nullptr, sample, nullptr), 40.0);
    EXPECT_TRUE(recorder.dialogs().empty());
}

TEST_F(WaitDialog, UnopenedStreamAnswersWithCodeOne)
{
    ScriptedVideo video;
    VideoSourceStream& v = video;
    EXPECT_EQ(v.findFrame(0, nullptr, 1, nullptr), -1);
    EXPECT_EQ(video.lastError, 1);
    long frame = 0;
    EXPECT_EQ(v.getFrameBits(0, nullptr, frame, nullptr), nullptr);
    EXPECT_EQ(video.lastError, 1);
    EXPECT_TRUE(recorder.dialogs().empty());
}

TEST_F(WaitDialog, ProgressOfAFrameSearch)
{
    ScriptedVideo video;
    video.markOpened(10);
    video.script = [&](SourceStream& s) {
        ASSERT_NE(s.notify(), nullptr);
        EXPECT_EQ(s.notify()->stream, &s);
        expectProgress(s, 5, "Fetching a frame", 1);
        expectProgress(s, 0, "Opening: parsing the stream", 2);
        expectProgress(s, 2, "Fetching samples: backtracking", 3);
        for (int i = 0; i < 5; ++i)
            s.notify()->progress(3);
        // count 9: 9 AND 7 = 1 for backtracking.
        expectProgress(s, 2, "Fetching samples: backtracking", 1);
        expectProgress(s, 1, "Opening the stream", 0, false);
        expectProgress(s, 3, "Opening the stream", 8 & 127);
    };
    VideoSourceStream& v = video;
    EXPECT_EQ(v.findFrame(0, nullptr, 7, nullptr), 7);
    EXPECT_EQ(video.notify(), nullptr);
    ASSERT_EQ(recorder.dialogs().size(), 1u);
    EXPECT_EQ(recorder.dialogs()[0].text, "Fetching a frame");
    EXPECT_EQ(recorder.dialogs()[0].rangeHigh, 8);
    EXPECT_EQ(recorder.dialogs()[0].icon, libraryIcon(1));

    long frame = 3;
    video.script = nullptr;
    EXPECT_NE(v.getFrameBits(0, nullptr, frame, nullptr), nullptr);
    EXPECT_EQ(frame, 3);
}

TEST_F(WaitDialog, TextsAndIconsPerOperation)
{
    ScriptedAudio audio;
    audio.markOpened(10);
    AudioSourceStream& a = audio;
    EXPECT_NE(a.getSamples(0, nullptr, 2, 3, nullptr), nullptr);

    ScriptedRaw raw;
    raw.markOpened(10);
    RawDataSourceStream& r = raw;
    long sample = 6, samples = 0, bytes = 0;
    bool key = false;
    EXPECT_EQ(r.getData(0, nullptr, sample, samples, bytes, key, nullptr), raw.data);
    EXPECT_EQ(sample, 4);
    EXPECT_EQ(samples, 1);
    EXPECT_EQ(bytes, 2);
    EXPECT_TRUE(key);
    long at = 2;
    EXPECT_EQ(static_cast<SourceStream&>(raw).StreamSampleToTime(0, nullptr, at, nullptr), 80.0);

    ASSERT_EQ(recorder.dialogs().size(), 3u);
    EXPECT_EQ(recorder.dialogs()[0].text, "Fetching audio samples");
    EXPECT_EQ(recorder.dialogs()[0].icon, libraryIcon(2));
    EXPECT_EQ(recorder.dialogs()[1].text, "Fetching samples");
    EXPECT_EQ(recorder.dialogs()[1].icon, libraryIcon(3));
    EXPECT_EQ(recorder.dialogs()[2].text, "Searching the stream");
    EXPECT_EQ(recorder.dialogs()[2].rangeHigh, 8);
    EXPECT_EQ(audio.notify(), nullptr);
    EXPECT_EQ(raw.notify(), nullptr);
}

TEST_F(WaitDialog, HiddenStartKeepsZeroSizeUntilTheFirstProgress)
{
    ScriptedVideo video;
    video.markOpened(10);
    video.script = [&](SourceStream& s) {
        RECT rect;
        GetWindowRect(dialog(), &rect);
        EXPECT_EQ(rect.right - rect.left, 0);
        EXPECT_EQ(rect.bottom - rect.top, 0);
        s.notify()->progress(5);
        EXPECT_TRUE(waitFor([&] {
            GetWindowRect(dialog(), &rect);
            return rect.right - rect.left > 100 && rect.bottom - rect.top > 20;
        }));
    };
    VideoSourceStream& v = video;
    EXPECT_EQ(v.findFrame(16, nullptr, 1, nullptr), 1);
    ASSERT_EQ(recorder.dialogs().size(), 1u);
    // Already shrunk when initialisation ended, before the dialog was first shown.
    const RECT& initial = recorder.dialogs()[0].rect;
    EXPECT_EQ(initial.right - initial.left, 0);
    EXPECT_EQ(initial.bottom - initial.top, 0);
}

// A WM_QUIT waiting in the queue ends the dialog's loop at once; the entry
// point still waits for the operation, returns its result, and the quit
// message is left for the caller's own loop.
TEST_F(WaitDialog, PendingQuitStillWaitsForTheWorker)
{
    std::string path = folder.path("video.avi");
    ASSERT_TRUE(MediaWriter::writeAvi(path, {MediaWriter::VideoTrack()}));
    PostQuitMessage(0);
    std::unique_ptr<SourceStream> video(SourceStream::open(0, nullptr, const_cast<char*>(path.c_str()), 0, nullptr));
    ASSERT_TRUE(video);
    EXPECT_EQ(video->lastError, 0);
    EXPECT_NE(dynamic_cast<VfWVideoSourceStream*>(video.get()), nullptr);
    EXPECT_EQ(video->notify(), nullptr);
    MSG message;
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));

    // An operation that takes a while writes its result and the caller's
    // reference after the loop ended, still inside the call.
    ScriptedVideo slow;
    slow.markOpened(10);
    bool finished = false;
    slow.script = [&](SourceStream&) {
        Sleep(300);
        finished = true;
    };
    PostQuitMessage(0);
    VideoSourceStream& v = slow;
    long frame = 6;
    EXPECT_NE(v.getFrameBits(0, nullptr, frame, nullptr), nullptr);
    EXPECT_TRUE(finished);
    EXPECT_EQ(frame, 6);
    EXPECT_EQ(slow.notify(), nullptr);
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(WaitDialog, TitledDialogHidesItsOwnerWhileMinimised)
{
    HWND owner = CreateWindowExA(0, "STATIC", "Owner caption", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200,
                                 nullptr, nullptr, nullptr, nullptr);
    HWND child = CreateWindowExA(0, "STATIC", "child", WS_CHILD | WS_VISIBLE, 0, 0, 50, 20, owner, nullptr, nullptr,
                                 nullptr);
    ASSERT_TRUE(owner && child);
    ScriptedVideo video;
    video.markOpened(10);
    video.script = [&](SourceStream&) {
        HWND d = dialog();
        EXPECT_EQ(windowText(d), "Owner caption");
        ShowWindow(d, SW_MINIMIZE);
        EXPECT_TRUE(waitFor([&] { return !IsWindowVisible(owner); }));
    };
    VideoSourceStream& v = video;
    EXPECT_EQ(v.findFrame(32, child, 2, nullptr), 2);
    EXPECT_TRUE(IsWindowVisible(owner));
    ASSERT_EQ(recorder.dialogs().size(), 1u);
    EXPECT_TRUE(recorder.dialogs()[0].titled);

    video.script = nullptr;
    std::string longTitle(300, 'x');
    EXPECT_EQ(v.findFrame(32, owner, 3, const_cast<char*>(longTitle.c_str())), 3);
    ASSERT_EQ(recorder.dialogs().size(), 2u);
    EXPECT_EQ(recorder.dialogs()[1].caption, std::string(255, 'x'));
    DestroyWindow(owner);
}

// A dialog whose owner is not a window cannot be created.
TEST_F(WaitDialog, NoDialogMeansTheSentinel)
{
    HWND invalid = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x7FFF1234));
    bool ran = false;
    ScriptedVideo video;
    video.markOpened(10);
    video.script = [&](SourceStream&) { ran = true; };
    VideoSourceStream& v = video;
    EXPECT_EQ(v.findFrame(0, invalid, 1, nullptr), -1);
    long frame = 1;
    EXPECT_EQ(v.getFrameBits(0, invalid, frame, nullptr), nullptr);
    EXPECT_FALSE(ran);
    EXPECT_EQ(video.notify(), nullptr);

    std::string path = folder.path("video.avi");
    ASSERT_TRUE(MediaWriter::writeAvi(path, {MediaWriter::VideoTrack()}));
    EXPECT_EQ(SourceStream::open(0, invalid, const_cast<char*>(path.c_str()), 0, nullptr), nullptr);
}

} // namespace
