#pragma once

#include <strmif.h>

#include "../core/TrelixExport.h"

// What a media file contains. Holds no state.
class TRELIX_API MediaContainer {
public:
    // Results of streamsNumber; the message of each is string 900 + code.
    enum Error {
        Success = 0,
        NotEnoughMemory = 1,
        NoMediaDetector = 2,
        CannotOpenFile = 3,
        NoStreamsNumber = 4,
        CannotSelectStream = 5,
        UnreadableMediaType = 6,
        NoGraphBuilder = 7,
        CannotCreateVideoRenderer = 8,
        CannotAddVideoRenderer = 9,
        CannotCreateAudioRenderer = 10,
        CannotAddAudioRenderer = 11,
        CannotRender = 12,
        NoRendererInputPin = 13,
    };

    // Counts the video and audio streams of `fileName` through AVIFile or,
    // with `useDirectShow`, through a filter graph (at most 4 of each kind)
    // with the media detector as fallback. A null count pointer leaves that
    // kind uncounted and unwritten.
    static Error streamsNumber(char* fileName, bool useDirectShow, int* videoCount, int* audioCount);
    // The text of `code`, in one buffer shared by the process and valid until
    // the next call; null for an unknown code.
    static char* Message(Error code);
    // Media types that carry audio or video; multiplexed container types
    // (AVI, ASF, MPEG system streams, interleaved DV) count as both.
    static bool isAudio(const AM_MEDIA_TYPE& mt);
    static bool isVideo(const AM_MEDIA_TYPE& mt);
};
