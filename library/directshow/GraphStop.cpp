#include "GraphStop.h"

#include <new>

#include "../core/ComPtr.h"
#include "../core/ErrorCodes.h"
#include "BoundedJob.h"

namespace {

class StopJob : public BoundedJob {
public:
    explicit StopJob(IMediaControl* control) : control(control) {}
    int code = 0;

protected:
    void run() override
    {
        OAFilterState state;
        if (FAILED(control->Stop()))
            code = DSError::CannotStopGraph;
        else if (FAILED(control->GetState(INFINITE, &state)))
            code = DSError::GetStateFailed;
    }

private:
    ComPtr<IMediaControl> control;
};

} // namespace

int stopGraphBounded(IMediaControl* control, bool* stuck)
{
    *stuck = false;
    auto* job = new (std::nothrow) StopJob(control);
    if (!job)
        return DSError::OutOfMemory;
    int code = DSError::CannotStopGraph;
    if (job->start(kStopTimeout))
        code = job->code;
    else
        *stuck = true;
    job->release();
    return code;
}
