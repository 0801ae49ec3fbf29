#include "ThreadStarter.h"

#include <new>

namespace {

// What the new thread needs; it owns its own copy of the event, so the caller
// may close the handle it was given at any time.
struct ThreadRecord {
    ThreadFunction function;
    void* argument;
    EventHandle done;
};

DWORD WINAPI runThread(void* parameter)
{
    auto* record = static_cast<ThreadRecord*>(parameter);
    DWORD result = record->function(record->argument);
    SetEvent(record->done.get());
    delete record;
    return result;
}

} // namespace

EventHandle StartThread(ThreadFunction function, void* argument, SIZE_T stackSize)
{
    EventHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!done)
        return done;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), done.get(), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return EventHandle();
    auto* record = new (std::nothrow) ThreadRecord{function, argument, EventHandle(copy)};
    if (!record) {
        CloseHandle(copy);
        return EventHandle();
    }
    HANDLE thread = CreateThread(nullptr, stackSize, runThread, record, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!thread) {
        delete record;
        return EventHandle();
    }
    CloseHandle(thread);
    return done;
}
