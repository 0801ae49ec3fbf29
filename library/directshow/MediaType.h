#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>

// The media-type helpers of the DirectShow base classes that the library uses.

// Frees the format block (task memory) and releases pUnk; the type's other
// fields stay as they are.
void FreeMediaType(AM_MEDIA_TYPE& mt);

// The four-character-code subtype: the code in the first 32 bits of
// XXXXXXXX-0000-0010-8000-00AA00389B71.
GUID FourCCSubtype(DWORD fourCC);

// Fills `mt` from an audio format: major type audio, subtype from the format
// tag (the sub-format for WAVE_FORMAT_EXTENSIBLE), fixed-size samples of
// nBlockAlign bytes, and, with `setFormat`, a copy of the format (18 bytes
// with cbSize 0 for PCM, else 18 + cbSize). `formatSize` is how many bytes of
// `wfx` exist: a format whose cbSize claims more fails with E_INVALIDARG.
HRESULT CreateAudioMediaType(const WAVEFORMATEX* wfx, size_t formatSize, AM_MEDIA_TYPE* mt, BOOL setFormat);

// Frees a media type that an interface returned in task memory: its format
// block and then the record itself. Null is allowed.
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// Owns a media type returned in task memory.
struct MediaTypeDeleter {
    void operator()(AM_MEDIA_TYPE* mt) const { DeleteMediaType(mt); }
};
