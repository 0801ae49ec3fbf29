#pragma once

#include <windows.h>
#include <strmif.h>

// Lets the user pick an installed DirectShow compressor by friendly name
// (dialog 1) from the system device enumerator's video or audio compressor
// category. Returns 0 with the moniker of the first compressor whose name
// matches the chosen one regardless of case (enumeration order), or the code:
// 46, 47, 48, 49, 51, 206, or 2 when the list cannot be held. An empty
// category shows an empty list, so that the user can only cancel (206).
int chooseCompressorMoniker(HWND parentWindow, bool video, IMoniker** chosen);
