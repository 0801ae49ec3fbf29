#include "BoundedJob.h"

#include "../core/TrelixThread.h"
#include "ThreadStart.h"

BoundedJob::BoundedJob() : shares(1), done(nullptr)
{
}

BoundedJob::~BoundedJob() = default;

DWORD WINAPI BoundedJob::threadMain(void* parameter)
{
    auto* job = static_cast<BoundedJob*>(parameter);
    TrelixThread();
    job->run();
    job->drop();
    return 0;
}

bool BoundedJob::waitAnswering(HANDLE handle, DWORD milliseconds)
{
    DWORD begin = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - begin;
        DWORD left = elapsed < milliseconds ? milliseconds - elapsed : 0;
        DWORD woken = MsgWaitForMultipleObjects(1, &handle, FALSE, left, QS_SENDMESSAGE);
        if (woken == WAIT_OBJECT_0)
            return true;
        if (woken != WAIT_OBJECT_0 + 1)
            return false;
        // Peeking delivers the sent messages and removes nothing.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

bool BoundedJob::start(DWORD milliseconds, bool answerSent)
{
    InterlockedIncrement(&shares);
    // The platform's default stack: the job runs platform code of any depth
    // (the graph's intelligent connection recurses through its filters).
    done = startThread(0, threadMain, this);
    if (!done) {
        InterlockedDecrement(&shares);
        return false;
    }
    bool ended = answerSent ? waitAnswering(done, milliseconds)
                            : WaitForSingleObject(done, milliseconds) == WAIT_OBJECT_0;
    CloseHandle(done);
    done = nullptr;
    return ended;
}

void BoundedJob::release()
{
    drop();
}

void BoundedJob::drop()
{
    if (InterlockedDecrement(&shares) == 0)
        delete this;
}
