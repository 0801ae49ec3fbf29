#pragma once

// How the vertical reduction of ResampleRGB24 adds and divides its 32-bit
// accumulators: `detected` takes SSE2 when the processor reports it (CPUID
// function 1, EDX bit 26), else plain arithmetic.
enum class ResampleArithmetic { detected, scalar, sse2 };

bool processorHasSSE2();

// Scales a 24-bit picture (rows padded to 4 bytes) from w x h to W x H: box
// reduction by whole factors first (summed into 32-bit accumulators), then
// bilinear interpolation. The SSE2 division multiplies by 2^32 / divisor
// rounded up: its bytes equal the scalar ones while the box (t * m pixels) is
// at most 4103 pixels, and are at most one above them for larger boxes.
// False when the temporary buffer cannot be had.
bool ResampleRGB24(const unsigned char* source, int w, int h, unsigned char* target, int W, int H,
                   ResampleArithmetic arithmetic = ResampleArithmetic::detected);
