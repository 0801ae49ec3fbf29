#pragma once

#include <functional>

#include <windows.h>

// The tuning values of a DirectShow source, in the order the configuration
// dialogs take them. The audio dialog shows the first two; the third passes
// through unchanged.
struct SourceTuning {
    int decodeThreshold;
    int backtrackStep;
    int growthRatio;
};

// Dialog 5 shows the three values of video-like streams, dialog 6 the two of
// audio-like ones.
enum class SourceDialogKind { Video = 5, Audio = 6 };

// Shows the dialog of `kind` over `values`, owned by `parentWindow`, and on OK
// hands the values as entered to `apply` (which applies the defaults).
// Returns the code for lastError: 0 after OK or Cancel, 49 when the dialog
// could not be shown, or the dialog's own code (52).
int configureSource(void* parentWindow, SourceDialogKind kind, SourceTuning values,
                    const std::function<void(const SourceTuning&)>& apply);
