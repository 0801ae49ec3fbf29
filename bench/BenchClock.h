#pragma once

#include <windows.h>

// Seconds since construction, from the performance counter.
class BenchClock {
public:
    BenchClock() { QueryPerformanceFrequency(&frequency); QueryPerformanceCounter(&begin); }
    double seconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - begin.QuadPart) / frequency.QuadPart;
    }

private:
    LARGE_INTEGER frequency, begin;
};
