#pragma once

#include <windows.h>

// Stack of the library's DirectShow graph threads.
constexpr DWORD kGraphThreadStack = 32768;

// Starts `function(argument)` on a new thread with `stackSize` bytes of stack.
// Returns a manual-reset event that is set when the function has returned
// (the caller owns and closes it), or null when the event or the thread could
// not be created. `thread`, when given, receives the thread's own handle (the
// caller closes it), so that the caller can wait until the thread has wholly
// ended.
HANDLE startThread(DWORD stackSize, DWORD(WINAPI* function)(void*), void* argument, HANDLE* thread = nullptr);
