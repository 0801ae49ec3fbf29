#pragma once

#include <windows.h>

// Fields of the first audio stream header of a closed AVI file that the
// writer sets right after AVIFile wrote it: a checked change of those fields
// only, nothing when they are already right. False when the file's headers
// could not be read or written.
struct AudioHeaderFields {
    // Wine's AVIFile counts an audio stream's length in chunks, one per write,
    // and stores that count as the length.
    DWORD length;
    // Compressed audio is counted in compressed blocks: its time base comes
    // from the stored format (0 keeps what is stored).
    DWORD scale;
    DWORD rate;
};

bool repairAudioHeader(const char* fileName, const AudioHeaderFields& fields);
