#pragma once

#include <windows.h>

#include "WaitRequest.h"

class SourceStream;

// The modal wait dialog: the request's operation runs on a worker thread
// while the calling thread runs the dialog, which shows the progress the
// worker posts.

// Fills the option bits, the title (bit 32) and the operation of a request.
void prepareWaitRequest(WaitRequest& request, int options, HWND parentWindow, const char* title, int operation,
                        void* subject);

// Bits 1, 2 and 4 as the stream says, bit 8 cleared, the rest as given.
int streamWaitOptions(SourceStream& stream, int options);

// Runs the dialog until the operation completed; false when no dialog could
// be run (then the operation did not run). Afterwards no notification of the
// dialog is left attached to the stream.
bool runWaitDialog(WaitRequest& request, HWND parentWindow, int options);

// Runs `operation` of `stream` with up to four arguments behind the dialog,
// the option bits taken from the stream; false when no dialog could be run.
bool runStreamOperation(WaitRequest& request, SourceStream& stream, int options, void* parentWindow, char* title,
                        int operation, LONG_PTR a0, LONG_PTR a1 = 0, LONG_PTR a2 = 0, LONG_PTR a3 = 0);
