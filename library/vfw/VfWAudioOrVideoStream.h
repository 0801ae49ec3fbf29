#pragma once

#include "../core/AudioOrVideoStream.h"

// Root of every object built on AVIFile, the video compression manager and
// ACM: local codes 1 to 40, messages at 500 + code.
class TRELIX_API VfWAudioOrVideoStream : public virtual AudioOrVideoStream {
public:
    VfWAudioOrVideoStream();
    int local_ErrorMax() override;
    int errorMessages_resourceBase() override;
    bool local_ErrorIsFatal(int code) override;
    ~VfWAudioOrVideoStream() override;
    bool usesDirectShow() override;
};
