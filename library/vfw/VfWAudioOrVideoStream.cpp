#include "VfWAudioOrVideoStream.h"

VfWAudioOrVideoStream::VfWAudioOrVideoStream() = default;

VfWAudioOrVideoStream::~VfWAudioOrVideoStream() = default;

int VfWAudioOrVideoStream::local_ErrorMax()
{
    return 40;
}

int VfWAudioOrVideoStream::errorMessages_resourceBase()
{
    return 500;
}

// Warnings and recoverable errors; every other local code is fatal.
bool VfWAudioOrVideoStream::local_ErrorIsFatal(int code)
{
    switch (code) {
    case 0:  // success
    case 8:  // parameter out of range
    case 9:  // next available frame returned
    case 17: // time conversion failed
    case 20: // data not found
    case 25: // cannot set the compressor
    case 29: // no configuration dialog
    case 30: // not fully configured yet
    case 31: // not actually interleaved
        return false;
    default:
        return true;
    }
}

bool VfWAudioOrVideoStream::usesDirectShow()
{
    return false;
}
