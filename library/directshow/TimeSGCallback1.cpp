#include "TimeSGCallback1.h"

TimeSGCallback1::TimeSGCallback1()
    : wantedSample(0)
{
}

bool TimeSGCallback1::reached()
{
    return wantedSample <= sampleNumber;
}
