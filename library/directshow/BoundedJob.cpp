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

bool BoundedJob::start(DWORD milliseconds)
{
    InterlockedIncrement(&shares);
    // The platform's default stack: the job runs platform code of any depth
    // (the graph's intelligent connection recurses through its filters).
    done = startThread(0, threadMain, this);
    if (!done) {
        InterlockedDecrement(&shares);
        return false;
    }
    bool ended = WaitForSingleObject(done, milliseconds) == WAIT_OBJECT_0;
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
