#pragma once

#include <strmif.h>

// The media-type helpers of the DirectShow base classes that the library uses.

// Frees the format block (task memory) and releases pUnk; the type's other
// fields stay as they are.
void FreeMediaType(AM_MEDIA_TYPE& mt);
