#pragma once

// The automatic backend choice of the source factories: VfW/ACM first, kept
// unless its error is fatal; otherwise whatever DirectShow gives, usable or not.
// `openDirectShow` returns null while no DirectShow source of the kind exists,
// and the VfW/ACM object is then returned with its error.
template <typename Stream, typename OpenVfW, typename OpenDirectShow>
Stream* openAutomatically(OpenVfW openVfW, OpenDirectShow openDirectShow)
{
    Stream* vfw = openVfW();
    if (vfw && !vfw->lastError_isFatal())
        return vfw;
    Stream* ds = openDirectShow();
    if (!ds)
        return vfw;
    delete vfw;
    return ds;
}
