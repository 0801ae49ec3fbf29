#pragma once

#include <windows.h>
#include <strmif.h>

// Configures a video compressor filter of the writer's graph whose first
// output pin is `output`: dialog 4 over the pin's video-compression
// interface, or, without that interface, the compressor's VfW configuration
// dialog or its property frame. Returns the code for lastError: 0, 206, 49,
// 52, 53, 59, 60, 61 or 62.
int configureVideoCompressor(HWND parentWindow, IBaseFilter* compressor, IPin* output);
