#pragma once

#include <windows.h>

#include "../core/AudioOrVideoStream.h"

// Root of every object built on DirectShow: local codes 1 to 73, messages at
// 100 + code.
class TRELIX_API DSAudioOrVideoStream : public virtual AudioOrVideoStream {
public:
    DSAudioOrVideoStream();
    int local_ErrorMax() override;
    int errorMessages_resourceBase() override;
    bool local_ErrorIsFatal(int code) override;
    ~DSAudioOrVideoStream() override;
    bool usesDirectShow() override;

protected:
    // Cookie of the graph's running-object-table registration; 0 = none.
    DWORD rotRegister;
};
