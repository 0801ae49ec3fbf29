#pragma once

#include "TimeSGCallback.h"

// Time graph callback that stops once sample number `wantedSample` has been reached.
class TimeSGCallback1 : public TimeSGCallback {
public:
    TimeSGCallback1();
    bool reached() override;

    long wantedSample;
};
