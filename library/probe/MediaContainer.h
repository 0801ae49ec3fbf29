#pragma once

#include <strmif.h>

#include "../core/TrelixExport.h"

// What a media file contains. Holds no state.
class TRELIX_API MediaContainer {
public:
    // Media types that carry audio or video; multiplexed container types
    // (AVI, ASF, MPEG system streams, interleaved DV) count as both.
    static bool isAudio(const AM_MEDIA_TYPE& mt);
    static bool isVideo(const AM_MEDIA_TYPE& mt);
};
