#pragma once

#include <windows.h>

// Wine's AVIFile counts an audio stream's length in chunks, one per write,
// and stores that count as the stream header's length. This sets the length
// of the first audio stream of a closed AVI file to `length` samples: a
// checked change of that one field, nothing when it is already right (always
// so on Windows). False when the file's headers could not be read or written.
bool repairAudioLength(const char* fileName, DWORD length);
