#pragma once

#include <windows.h>

#include "core/UniqueHandle.h"

using ThreadFunction = DWORD(WINAPI*)(void* argument);

// Runs function(argument) on a new thread with the given stack size. The
// result is a manual-reset event that the thread sets once the function has
// returned (so a caller can wait for several threads at once), or none when
// the event or the thread cannot be made.
EventHandle StartThread(ThreadFunction function, void* argument, SIZE_T stackSize);
