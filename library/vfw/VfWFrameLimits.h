#pragma once

#include <windows.h>

// Bounds on the frames the VfW sources accept, checked in 64-bit arithmetic
// so that no stored width, height or bit count can overflow them.

// Padded bytes of one image of `bitCount` bits per pixel.
inline ULONGLONG imageBytes(LONG width, LONG height, WORD bitCount)
{
    ULONGLONG w = width < 0 ? 0ULL - static_cast<ULONGLONG>(static_cast<LONGLONG>(width)) : static_cast<ULONGLONG>(width);
    ULONGLONG h = height < 0 ? 0ULL - static_cast<ULONGLONG>(static_cast<LONGLONG>(height)) : static_cast<ULONGLONG>(height);
    return ((w * bitCount + 31) & ~31ULL) / 8 * h;
}

// No platform decoder copes with larger frames: at most 32 768 pixels wide
// and high, at most 1 GiB per frame, at the stored depth and as 24-bit RGB.
inline bool acceptableFrameSize(const BITMAPINFOHEADER& header)
{
    constexpr LONGLONG kMaxSide = 32768;
    constexpr ULONGLONG kMaxBytes = 1ULL << 30;
    LONGLONG height = header.biHeight;
    if (header.biWidth <= 0 || header.biWidth > kMaxSide || height == 0 || height > kMaxSide || height < -kMaxSide)
        return false;
    WORD depth = header.biBitCount > 24 ? header.biBitCount : 24;
    return imageBytes(header.biWidth, header.biHeight, depth) <= kMaxBytes;
}
