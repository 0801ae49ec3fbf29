#pragma once

#include <windows.h>

#include "MediaContainer.h"

// How the probe's DirectShow way turns RenderFile's result and the media
// detector's findings into stream counts.

// The kinds the media detector counts after the graph.
struct DetectorKinds {
    bool video = false;
    bool audio = false;
    bool any() const { return video || audio; }
};

struct RenderVerdict {
    bool countGraph = false;  // the connected renderers stand for the streams
    DetectorKinds detect;
};

// S_OK, VFW_S_DUPLICATE_NAME and VFW_S_PARTIAL_RENDER: the graph's count
// alone. VFW_S_VIDEO_NOT_RENDERED or VFW_S_AUDIO_NOT_RENDERED: the graph's
// count, and the detector counts the kind that was not rendered. Anything
// else: the detector counts both kinds. Only requested kinds are detected.
RenderVerdict judgeRender(HRESULT hr, bool videoRequested, bool audioRequested);

// Merges the detector's `found` streams of one kind into `count` (the
// graph's, 0 when the graph did not count): the detector sees every stream,
// the graph only those it could render, so the larger figure is the file's.
// After a graph that worked, a kind reported as not rendered exists, so it
// counts at least 1. Nothing happens for a null `count` or a kind not detected.
void mergeDetectedCount(int* count, bool detected, int found, bool graphSucceeded);

// The probe's result once the detector ran: a detector that succeeded makes
// it a success; one that failed after a working graph gives its own code.
MediaContainer::Error combinedResult(MediaContainer::Error graphResult, MediaContainer::Error detectorResult);
