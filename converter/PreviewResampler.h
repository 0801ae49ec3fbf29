#pragma once

#include <vector>

// Scales a 24-bit picture (rows padded to 4 bytes) from w x h to W x H:
// box reduction by whole factors first, then bilinear interpolation. Scalar
// arithmetic only; false when the temporary buffer cannot be had.
bool ResampleRGB24(const unsigned char* source, int w, int h, unsigned char* target, int W, int H);
