#pragma once

#include <atomic>

#include "../core/CriticalSection.h"
#include "../core/TrelixExport.h"
#include "../core/UniqueHandle.h"
#include "OutputAVIFile.h"

// Lets a video thread and an audio thread write into one output in turns of
// about one interleaving period each. The engine owns no thread: Write blocks
// until it is the calling thread's turn.
//
// Locking strategy: turn[t] is signalled while thread t may write; a thread
// resets its own event before signalling the other's, so the two never call
// the output together. `lock` makes "test finished[other], reset own turn"
// atomic against "set finished, signal the other turn" in exit and userStop,
// so that no thread blocks after the other has finished. Waits have no
// time-out: every path that makes Write return false has signalled the other
// thread first.
class TRELIX_API AutomaticInterleaveEngine {
public:
    enum ThreadType { videoThread = 0, audioThread = 1 };

    AutomaticInterleaveEngine();
    ~AutomaticInterleaveEngine();
    AutomaticInterleaveEngine(const AutomaticInterleaveEngine&) = delete;
    AutomaticInterleaveEngine& operator=(const AutomaticInterleaveEngine&) = delete;

    bool setOutputStream(OutputAVIFile* output, bool finishBoth);
    bool Write(ThreadType thread, long first, unsigned char* data, long count, long bytes, bool key);
    bool WriteNext(ThreadType thread, unsigned char* data, long count, long bytes, bool key);
    void exit(ThreadType thread);
    void userStop();
    void close();

private:
    using Writer = bool (OutputAVIFile::*)(long, unsigned char*, long, long, bool);

    bool writeInTurn(ThreadType thread, bool next, long first, unsigned char* data, long count, long bytes, bool key);
    LONGLONG endTime(ThreadType thread, long first, long count);
    void handOver(ThreadType thread);

    OutputAVIFile* output;
    bool restoreInterleaving;
    EventHandle turn[2];
    std::atomic<bool> stopped;
    bool finished[2];
    Writer writers[2];

public:
    // A write on the output failed; read after both threads ended.
    std::atomic<bool> failed;

private:
    bool newSlice[2];
    bool finishBoth;
    LONGLONG sliceStart[2];
    LONGLONG period;
    CriticalSection lock;
    // userStop was called and the run has not ended (close) yet; guarded by lock.
    bool stopPending;
};
