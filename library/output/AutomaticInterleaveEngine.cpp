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
      failed(false), newSlice{true, true}, finishBoth(true), sliceStart{0, 0}, period(0)
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
    output = out;
    stopped = false;
    finished[videoThread] = output->videoFormat() == nullptr;
    finished[audioThread] = output->audioFormat() == nullptr;
    // The audio thread writes first when there is audio.
    ThreadType first = finished[audioThread] ? videoThread : audioThread;
    SetEvent(turn[first].get());
    ResetEvent(turn[other(first)].get());
    failed = false;
    newSlice[videoThread] = newSlice[audioThread] = true;
    finishBoth = both;
    period = output->interleavingPeriod();
    return true;
}

bool AutomaticInterleaveEngine::Write(ThreadType thread, long first, unsigned char* data, long count, long bytes,
                                      bool key)
{
    WaitForSingleObject(turn[thread].get(), INFINITE);
    if (stopped)
        return false;
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

bool AutomaticInterleaveEngine::WriteNext(ThreadType thread, unsigned char* data, long count, long bytes, bool key)
{
    long first = thread == videoThread ? output->nextFrame_number() : output->nextSample_number();
    return Write(thread, first, data, count, bytes, key);
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

void AutomaticInterleaveEngine::userStop()
{
    stopped = true;
    auto guard = lock.lock();
    finished[videoThread] = finished[audioThread] = true;
    SetEvent(turn[videoThread].get());
    SetEvent(turn[audioThread].get());
}

void AutomaticInterleaveEngine::close()
{
    if (!output)
        return;
    if (restoreInterleaving)
        output->setAutomaticInterleaving(true);
    if (output->audioFormat())
        output->flushAudio();
    output = nullptr;
}
