#pragma once

#include <windows.h>
#include <strmif.h>

// Configures the audio compressor whose first output pin is `output` with
// dialog 2: it shows the pin's present format and the formats its
// capabilities offer; Set puts the selected one on the pin (through dialog 3
// when the capability has ranges), and Cancel after a Set puts the present
// format back. Returns the code for lastError: 0, 206, 49, 59 (the pin has no
// stream configuration), or the dialog's 52 to 56.
int configureAudioCompressor(HWND parentWindow, IPin* output);
