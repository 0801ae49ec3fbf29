#pragma once

#include <windows.h>

// A critical section whose scoped lock() releases it on every path.
class CriticalSection {
public:
    class Lock {
    public:
        explicit Lock(CRITICAL_SECTION& section) : section(&section) { EnterCriticalSection(this->section); }
        ~Lock() { LeaveCriticalSection(section); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CRITICAL_SECTION* section;
    };

    CriticalSection() { InitializeCriticalSection(&section); }
    ~CriticalSection() { DeleteCriticalSection(&section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    [[nodiscard]] Lock lock() { return Lock(section); }

private:
    CRITICAL_SECTION section;
};
