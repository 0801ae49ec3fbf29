#pragma once

#include <windows.h>
#include <strmif.h>

// What the video source takes from its grabber's connection.
struct VideoFrameFormat {
    BITMAPINFOHEADER header;
    // Bytes of one frame, rows padded to 4 bytes; also header.biSizeImage.
    DWORD frameSize;
    REFERENCE_TIME timePerFrame;
};

// Only 24-bit BI_RGB in a VIDEOINFOHEADER is taken, and only sizes that can
// be allocated. The image size is recomputed from the geometry, so that a
// format claiming 0 or a wrong size still gets buffers of a whole frame;
// a negative height (top-down rows) is kept as the format states it.
// 0, or DSError::ImproperFormat with `format` unchanged.
int takeVideoFormat(const AM_MEDIA_TYPE& connection, VideoFrameFormat& format);
