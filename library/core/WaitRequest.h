#pragma once

#include <windows.h>

class WaitDlgNotification;

// Option bits of the wait-dialog entry points.
enum WaitOption {
    WaitAudio = 1,
    WaitRawData = 2,
    WaitDirectShow = 4,
    WaitAutomatic = 8,
    WaitHiddenStart = 16,
    WaitTitled = 32,
};

enum WaitOperation {
    WaitOpen = 0,
    WaitFindFrame = 1,
    WaitGetFrameBits = 2,
    WaitGetSamples = 3,
    WaitGetData = 4,
    WaitSampleToTime = 5,
    WaitTimeToSample = 6,
};

// One call of a wait-dialog entry point, on the caller's stack. The worker
// writes `result` before it ends; the caller reads it after joining it.
struct WaitRequest {
    bool audio;
    bool rawData;
    bool directShow;
    bool automatic;
    bool hiddenStart;
    char title[256];
    int operation;
    union {
        void* pointer;
        long number;
        double time;
    } result;
    // The file name (operation 0) or the SourceStream.
    void* subject;
    // Pointer-sized: some hold references.
    LONG_PTR arguments[4];
    // The dialog's notification, so that the caller can destroy it even when
    // no stream holds it.
    WaitDlgNotification* notification;
    // The worker thread, joined before the entry point returns.
    HANDLE worker;
};
