#pragma once

#include <windows.h>

// A platform call that may never return (Wine's GStreamer splitter can stop
// for good while it connects to a damaged file), run on a thread of its own
// so that the caller waits a bounded time.
//
// Ownership: the caller and the job's thread each hold a share; whoever
// drops the last share deletes the job. The caller reads the job's results
// only when start() said it ended in time, and before release().
class BoundedJob {
public:
    BoundedJob();
    BoundedJob(const BoundedJob&) = delete;
    BoundedJob& operator=(const BoundedJob&) = delete;

    // Runs run() on a new thread and waits at most `milliseconds`; true when
    // it ended in that time. False also when no thread could be started
    // (run() then never runs). With `answerSent`, messages that other threads
    // send to the caller's windows are answered while it waits (a video
    // renderer created by the caller is sent messages by the job); posted
    // messages and input wait.
    bool start(DWORD milliseconds, bool answerSent = false);
    // Drops the caller's share.
    void release();

protected:
    virtual ~BoundedJob();
    virtual void run() = 0;

private:
    static DWORD WINAPI threadMain(void* job);
    static bool waitAnswering(HANDLE handle, DWORD milliseconds);
    void drop();

    LONG shares;
    HANDLE done;
};
