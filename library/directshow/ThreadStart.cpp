#include "ThreadStart.h"

#include <new>

namespace {

struct ThreadStart {
    DWORD(WINAPI* function)(void*);
    void* argument;
    HANDLE done;
};

// Owns the start record and a duplicate of the completion event, so that the
// caller may close its handle at any time.
DWORD WINAPI threadMain(void* parameter)
{
    auto* start = static_cast<ThreadStart*>(parameter);
    DWORD result = start->function(start->argument);
    SetEvent(start->done);
    CloseHandle(start->done);
    delete start;
    return result;
}

} // namespace

HANDLE startThread(DWORD stackSize, DWORD(WINAPI* function)(void*), void* argument, HANDLE* thread)
{
    if (thread)
        *thread = nullptr;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done)
        return nullptr;
    auto* start = new (std::nothrow) ThreadStart{function, argument, nullptr};
    if (!start || !DuplicateHandle(GetCurrentProcess(), done, GetCurrentProcess(), &start->done, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS)) {
        delete start;
        CloseHandle(done);
        return nullptr;
    }
    HANDLE started = CreateThread(nullptr, stackSize, threadMain, start, 0, nullptr);
    if (!started) {
        CloseHandle(start->done);
        delete start;
        CloseHandle(done);
        return nullptr;
    }
    if (thread)
        *thread = started;
    else
        CloseHandle(started);
    return done;
}
