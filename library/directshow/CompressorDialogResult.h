#pragma once

#include <windows.h>

#include "../core/ErrorCodes.h"

// The code a compressor settings dialog's end value stands for. The platform
// answers 0 as well as -1 when it cannot show a dialog (an invalid owner).
inline int compressorDialogCode(INT_PTR result)
{
    switch (result) {
    case -1:
    case 0:
        return DSError::CannotShowDialog;
    case IDOK:
        return DSError::Success;
    case IDCANCEL:
        return OutputError::DialogCancelled;
    default:
        return static_cast<int>(result);
    }
}
