#pragma once

// Platform records used across the public interface: BITMAPINFOHEADER,
// WAVEFORMATEX, VIDEOINFOHEADER and AM_MEDIA_TYPE.
#include <windows.h>
#include <mmreg.h>
#include <strmif.h>
#include <amvideo.h>
