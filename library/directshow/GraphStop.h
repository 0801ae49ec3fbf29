#pragma once

#include <windows.h>
#include <dshow.h>

// Stops a graph and waits for it to settle, for a bounded time. Wine's
// GStreamer splitter can keep Stop waiting for good: its streaming thread
// waits for data from a GStreamer pipeline that halted on a damaged file
// without ending the stream.
//
// 0, 23 (Stop failed) or 26 (GetState failed). When the stop did not end in
// time: 23 with *stuck set; the graph is left to the stop's own thread, which
// keeps a reference to it, and must not be called again (every call would
// wait for the lock that the stop holds).
int stopGraphBounded(IMediaControl* control, bool* stuck);

// Longest wait for a graph's stop; real graphs stop in well under a second.
constexpr DWORD kStopTimeout = 20000;
