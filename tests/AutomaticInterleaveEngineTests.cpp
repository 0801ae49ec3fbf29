#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "TestOutput.h"

namespace {

using Engine = AutomaticInterleaveEngine;

constexpr LONGLONG kSecond = 10000000;

// 25 frames per second video and 8 kHz mono audio, written in chunks of one
// frame and of 800 samples (0.1 s).
class InterleaveEngine : public testing::Test {
protected:
    InterleaveEngine()
    {
        video.AvgTimePerFrame = 400000;
        audio.wFormatTag = WAVE_FORMAT_PCM;
        audio.nChannels = 1;
        audio.nSamplesPerSec = 8000;
        audio.wBitsPerSample = 16;
        audio.nBlockAlign = 2;
        audio.nAvgBytesPerSec = 16000;
    }

    // Runs a producer of `chunks` writes on each side; `stopAfter` chunks ends
    // a thread early with exit. Records how many writes succeeded.
    void run(Engine& engine, int videoChunks, int audioChunks, int videoExitAfter = -1)
    {
        auto producer = [&](Engine::ThreadType type, int chunks, int exitAfter, int& written) {
            for (int i = 0; i < chunks; ++i) {
                if (i == exitAfter) {
                    engine.exit(type);
                    return;
                }
                bool ok = type == Engine::videoThread ? engine.WriteNext(type, frame, 1, sizeof(frame), true)
                                                      : engine.Write(type, i * 800L, chunk, 800, sizeof(chunk), true);
                if (!ok)
                    return;
                ++written;
            }
            engine.exit(type);
        };
        std::thread v(producer, Engine::videoThread, videoChunks, videoExitAfter, std::ref(videoWritten));
        std::thread a(producer, Engine::audioThread, audioChunks, -1, std::ref(audioWritten));
        v.join();
        a.join();
    }

    VIDEOINFOHEADER video = {};
    WAVEFORMATEX audio = {};
    unsigned char frame[16] = {};
    unsigned char chunk[1600] = {};
    int videoWritten = 0;
    int audioWritten = 0;
};

TEST_F(InterleaveEngine, AudioWritesFirstAndTheSlicesAlternate)
{
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    run(engine, 50, 20);
    engine.close();

    EXPECT_EQ(videoWritten, 50);
    EXPECT_EQ(audioWritten, 20);
    EXPECT_FALSE(output.overlapped);
    EXPECT_FALSE(engine.failed);
    ASSERT_EQ(output.frames.size(), 50u);
    // Audio's first slice runs one period past the end of its first chunk
    // (0.1 s to 1.1 s: eleven chunks); video's then runs from 0.04 s to 1.04 s
    // (26 frames); the rest of the audio follows, then the rest of the video.
    for (size_t i = 0; i < 26; ++i)
        EXPECT_EQ(output.frames[i].audioAccepted, 8800) << i;
    for (size_t i = 26; i < 50; ++i)
        EXPECT_EQ(output.frames[i].audioAccepted, 16000) << i;
    for (size_t i = 0; i < 50; ++i)
        EXPECT_EQ(output.frames[i].first, static_cast<long>(i));
}

TEST_F(InterleaveEngine, WithoutAudioVideoNeverBlocks)
{
    TestOutput output(&video, nullptr, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    run(engine, 60, 0);
    EXPECT_EQ(videoWritten, 60);
    EXPECT_EQ(output.frames.size(), 60u);
}

TEST_F(InterleaveEngine, PeriodZeroHandsOverAfterEveryWriteButTheFirst)
{
    TestOutput output(&video, &audio, 0);
    output.setAudioBufferCapacity(8000);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    run(engine, 6, 6);
    ASSERT_EQ(output.frames.size(), 6u);
    EXPECT_EQ(output.frames[0].audioAccepted, 1600);
    EXPECT_EQ(output.frames[1].audioAccepted, 1600);
    EXPECT_EQ(output.frames[2].audioAccepted, 3200);
    EXPECT_EQ(output.frames[3].audioAccepted, 3200);
    EXPECT_EQ(output.frames[4].audioAccepted, 4800);
}

TEST_F(InterleaveEngine, EndOfOneThreadEndsTheOtherUnlessBothFinish)
{
    {
        TestOutput output(&video, &audio, kSecond);
        Engine engine;
        ASSERT_TRUE(engine.setOutputStream(&output, false));
        run(engine, 50, 20, 5);
        EXPECT_EQ(videoWritten, 5);
        // Audio wrote its first slice, then its next Write returned false.
        EXPECT_EQ(audioWritten, 11);
    }
    videoWritten = audioWritten = 0;
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    run(engine, 50, 20, 5);
    EXPECT_EQ(videoWritten, 5);
    EXPECT_EQ(audioWritten, 20);
}

TEST_F(InterleaveEngine, AFailedWriteStopsBothThreads)
{
    TestOutput output(&video, &audio, kSecond);
    output.failFrame = 3;
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    run(engine, 50, 20);
    EXPECT_TRUE(engine.failed);
    EXPECT_EQ(videoWritten, 3);
    EXPECT_EQ(audioWritten, 11);
    EXPECT_EQ(output.lastError, 36);
}

TEST_F(InterleaveEngine, UserStopWakesAWaitingThread)
{
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    // The audio thread has the turn but has not written: video waits.
    bool videoResult = true;
    std::thread v([&] { videoResult = engine.WriteNext(Engine::videoThread, frame, 1, sizeof(frame), true); });
    Sleep(50);
    engine.userStop();
    v.join();
    EXPECT_FALSE(videoResult);
    EXPECT_FALSE(engine.Write(Engine::audioThread, 0, chunk, 800, sizeof(chunk), true));
    EXPECT_TRUE(output.frames.empty());
}

TEST_F(InterleaveEngine, CloseFlushesAudioAndRestoresInterleaving)
{
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    EXPECT_TRUE(output.switches.empty());
    EXPECT_TRUE(engine.Write(Engine::audioThread, 0, chunk, 800, sizeof(chunk), true));
    EXPECT_TRUE(output.samples.empty());
    engine.close();
    ASSERT_EQ(output.samples.size(), 1u);
    EXPECT_EQ(output.samples[0].count, 800);

    TestOutput muxed(&video, &audio, kSecond);
    muxed.automatic = true;
    ASSERT_TRUE(engine.setOutputStream(&muxed, true));
    EXPECT_EQ(muxed.switches, std::vector<bool>{false});
    engine.close();
    EXPECT_EQ(muxed.switches, (std::vector<bool>{false, true}));

    TestOutput refusing(&video, &audio, kSecond);
    refusing.automatic = true;
    refusing.refuseSwitch = true;
    EXPECT_FALSE(engine.setOutputStream(&refusing, true));
}

// WriteNext for audio continues after the buffered samples, not after the
// written ones.
TEST_F(InterleaveEngine, WriteNextContinuesAfterBufferedAudio)
{
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(engine.WriteNext(Engine::audioThread, chunk, 800, sizeof(chunk), true));
    engine.close();
    ASSERT_EQ(output.samples.size(), 1u);
    EXPECT_EQ(output.samples[0].first, 0);
    EXPECT_EQ(output.samples[0].count, 3200);
}

// A WriteNext that waits for its turn leaves the other thread's error alone.
TEST_F(InterleaveEngine, WriteNextReadsThePositionInItsOwnTurn)
{
    TestOutput output(&video, &audio, 0);
    output.setAudioBufferCapacity(800);
    output.failSamplesSlowly = true;
    Engine engine;
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    // The second write flushes the first, and that flush fails slowly.
    ASSERT_TRUE(engine.Write(Engine::audioThread, 0, chunk, 800, sizeof(chunk), true));
    bool audioResult = true, videoResult = true;
    std::thread a([&] { audioResult = engine.Write(Engine::audioThread, 800, chunk, 800, sizeof(chunk), true); });
    Sleep(50);
    std::thread v([&] { videoResult = engine.WriteNext(Engine::videoThread, frame, 1, sizeof(frame), true); });
    a.join();
    v.join();
    EXPECT_FALSE(audioResult);
    EXPECT_FALSE(videoResult);
    EXPECT_TRUE(engine.failed);
    EXPECT_EQ(output.lastError, VfWError::WriteError);
}

// Waits for `work` on another thread; a thread still blocked after the time
// is released with a second stop so that the test ends.
bool endsWithin(Engine& engine, DWORD milliseconds, std::function<void()> work)
{
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread t([&] { work(); SetEvent(done); });
    bool ended = WaitForSingleObject(done, milliseconds) == WAIT_OBJECT_0;
    if (!ended)
        engine.userStop();
    t.join();
    CloseHandle(done);
    return ended;
}

// A stop made before the output is bound still stops the run.
TEST_F(InterleaveEngine, AStopBeforeBindingHolds)
{
    TestOutput output(&video, &audio, kSecond);
    Engine engine;
    engine.userStop();
    ASSERT_TRUE(engine.setOutputStream(&output, true));
    bool audioResult = true, videoResult = true;
    EXPECT_TRUE(endsWithin(engine, 2000, [&] {
        audioResult = engine.Write(Engine::audioThread, 0, chunk, 800, sizeof(chunk), true);
        videoResult = engine.WriteNext(Engine::videoThread, frame, 1, sizeof(frame), true);
    }));
    EXPECT_FALSE(audioResult);
    EXPECT_FALSE(videoResult);
    EXPECT_TRUE(output.samples.empty());
    EXPECT_TRUE(output.frames.empty());
    engine.close();

    // The stop ended with its run: the next one writes.
    TestOutput next(&video, &audio, kSecond);
    ASSERT_TRUE(engine.setOutputStream(&next, true));
    EXPECT_TRUE(engine.Write(Engine::audioThread, 0, chunk, 800, sizeof(chunk), true));
    engine.close();
}

} // namespace
