#include "AutomaticInterleaveEngine.h"

namespace {

AutomaticInterleaveEngine::ThreadType other(AutomaticInterleaveEngine::ThreadType thread)
{
    return thread == AutomaticInterleaveEngine::videoThread ? AutomaticInterleaveEngine::audioThread
                                                            : AutomaticInterleaveEngine::videoThread;
}

} // namespace

AutomaticInterleaveEngine::AutomaticInterleaveEngine()
    : output(nullptr), restoreInterleaving(false), turn{EventHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
                                                         EventHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr))},
      stopped(false), finished{false, false}, writers{&OutputAVIFile::writeFrame, &OutputAVIFile::bufferedWriteSample},
      failed(false), newSlice{true, true}, finishBoth(true), sliceStart{0, 0}, period(0), stopPending(false)
{
}

AutomaticInterleaveEngine::~AutomaticInterleaveEngine() = default;

bool AutomaticInterleaveEngine::setOutputStream(OutputAVIFile* out, bool both)
{
    if (out->isAutomaticallyInterleaved()) {
        if (!out->setAutomaticInterleaving(false))
            return false;
        restoreInterleaving = true;
    } else {
        restoreInterleaving = false;
    }
    bool noVideo = out->videoFormat() == nullptr;
    bool noAudio = out->audioFormat() == nullptr;
    failed = false;
    newSlice[videoThread] = newSlice[audioThread] = true;
    finishBoth = both;
    period = out->interleavingPeriod();
    // Under the lock, so that a stop made before or during binding holds.
    auto guard = lock.lock();
    output = out;
    stopped = stopPending;
    finished[videoThread] = noVideo || stopPending;
    finished[audioThread] = noAudio || stopPending;
    if (stopPending) {
        SetEvent(turn[videoThread].get());
        SetEvent(turn[audioThread].get());
        return true;
    }
    // The audio thread writes first when there is audio.
    ThreadType first = noAudio ? videoThread : audioThread;
    SetEvent(turn[first].get());
    ResetEvent(turn[other(first)].get());
    return true;
}

bool AutomaticInterleaveEngine::Write(ThreadType thread, long first, unsigned char* data, long count, long bytes,
                                      bool key)
{
    return writeInTurn(thread, false, first, data, count, bytes, key);
}

bool AutomaticInterleaveEngine::WriteNext(ThreadType thread, unsigned char* data, long count, long bytes, bool key)
{
    return writeInTurn(thread, true, 0, data, count, bytes, key);
}

// Waits for the thread's turn, then writes. With `next` the position is read
// only then (the accessors write lastError, which the other thread may be
// setting while it writes); audio continues after what is buffered.
bool AutomaticInterleaveEngine::writeInTurn(ThreadType thread, bool next, long first, unsigned char* data, long count,
                                            long bytes, bool key)
{
    WaitForSingleObject(turn[thread].get(), INFINITE);
    if (stopped)
        return false;
    if (next)
        first = thread == videoThread ? output->nextFrame_number() : output->nextSample_number_inBuffer();
    if (!(output->*writers[thread])(first, data, count, bytes, key)) {
        failed = true;
        stopped = true;
        SetEvent(turn[other(thread)].get());
        return false;
    }
    LONGLONG end = endTime(thread, first, count);
    if (newSlice[thread]) {
        newSlice[thread] = false;
        sliceStart[thread] = end;
        return true;
    }
    if (end - sliceStart[thread] >= period)
        handOver(thread);
    return true;
}

// Media end time of the write, 100-ns units.
LONGLONG AutomaticInterleaveEngine::endTime(ThreadType thread, long first, long count)
{
    LONGLONG end = static_cast<LONGLONG>(first) + count;
    if (thread == videoThread)
        return end * output->videoFormat()->AvgTimePerFrame;
    DWORD rate = output->audioFormat()->nSamplesPerSec;
    return rate ? end * 10000000 / rate : 0;
}

// The turn passes at this thread's next Write, unless the other has finished.
void AutomaticInterleaveEngine::handOver(ThreadType thread)
{
    newSlice[thread] = true;
    {
        auto guard = lock.lock();
        if (!finished[other(thread)])
            ResetEvent(turn[thread].get());
    }
    SetEvent(turn[other(thread)].get());
}

void AutomaticInterleaveEngine::exit(ThreadType thread)
{
    if (!finishBoth)
        stopped = true;
    auto guard = lock.lock();
    finished[thread] = true;
    SetEvent(turn[other(thread)].get());
}

// The stop holds until the run ends (close), also when it comes before
// setOutputStream.
void AutomaticInterleaveEngine::userStop()
{
    auto guard = lock.lock();
    stopPending = true;
    stopped = true;
    finished[videoThread] = finished[audioThread] = true;
    SetEvent(turn[videoThread].get());
    SetEvent(turn[audioThread].get());
}

void AutomaticInterleaveEngine::close()
{
    {
        auto guard = lock.lock();
        stopPending = false;
    }
    if (!output)
        return;
    if (restoreInterleaving)
        output->setAutomaticInterleaving(true);
    if (output->audioFormat())
        output->flushAudio();
    output = nullptr;
}
