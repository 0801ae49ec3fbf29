#include "StreamCountRules.h"

#include <vfwmsgs.h>

#include <algorithm>

RenderVerdict judgeRender(HRESULT hr, bool videoRequested, bool audioRequested)
{
    RenderVerdict verdict;
    if (hr == S_OK || hr == VFW_S_DUPLICATE_NAME || hr == VFW_S_PARTIAL_RENDER) {
        verdict.countGraph = true;
    } else if (hr == VFW_S_VIDEO_NOT_RENDERED) {
        verdict.countGraph = true;
        verdict.detect.video = videoRequested;
    } else if (hr == VFW_S_AUDIO_NOT_RENDERED) {
        verdict.countGraph = true;
        verdict.detect.audio = audioRequested;
    } else {
        verdict.detect.video = videoRequested;
        verdict.detect.audio = audioRequested;
    }
    return verdict;
}

void mergeDetectedCount(int* count, bool detected, int found, bool graphSucceeded)
{
    if (!count || !detected)
        return;
    *count = std::max(*count, found);
    if (graphSucceeded && *count == 0)
        *count = 1;
}

MediaContainer::Error combinedResult(MediaContainer::Error graphResult, MediaContainer::Error detectorResult)
{
    if (graphResult == MediaContainer::Success || detectorResult == MediaContainer::Success)
        return detectorResult;
    return graphResult;
}
