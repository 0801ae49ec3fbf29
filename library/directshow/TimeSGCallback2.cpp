#include "TimeSGCallback2.h"

#include <cmath>

TimeSGCallback2::TimeSGCallback2()
    : wantedTime(0)
{
    sampleTime = HUGE_VAL;
}

bool TimeSGCallback2::reached()
{
    // Within half a tick counts as reached: sample times are whole ticks, and
    // a wanted time that went through milliseconds may lie just above one.
    return wantedTime <= sampleTime + 0.5e-7;
}
