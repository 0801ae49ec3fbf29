#pragma once

#include "TimeSGCallback.h"

// Time graph callback that stops once time `wantedTime` (seconds) has been reached.
class TimeSGCallback2 : public TimeSGCallback {
public:
    TimeSGCallback2();
    bool reached() override;

    double wantedTime;
};
