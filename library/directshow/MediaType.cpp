#include "MediaType.h"

#include <cstring>
#include <objbase.h>
#include <uuids.h>

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0 || mt.pbFormat) {
        CoTaskMemFree(mt.pbFormat);
        mt.cbFormat = 0;
        mt.pbFormat = nullptr;
    }
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

GUID FourCCSubtype(DWORD fourCC)
{
    return GUID{fourCC, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

HRESULT CreateAudioMediaType(const WAVEFORMATEX* wfx, size_t formatSize, AM_MEDIA_TYPE* mt, BOOL setFormat)
{
    if (formatSize < sizeof(WAVEFORMATEX))
        return E_INVALIDARG;
    bool pcm = wfx->wFormatTag == WAVE_FORMAT_PCM;
    size_t size = pcm ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + wfx->cbSize;
    if (size > formatSize)
        return E_INVALIDARG;
    bool extensible = wfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE && size >= sizeof(WAVEFORMATEXTENSIBLE);

    *mt = AM_MEDIA_TYPE();
    mt->majortype = MEDIATYPE_Audio;
    mt->subtype = extensible ? reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wfx)->SubFormat
                             : FourCCSubtype(wfx->wFormatTag);
    mt->formattype = FORMAT_WaveFormatEx;
    mt->bFixedSizeSamples = TRUE;
    mt->bTemporalCompression = FALSE;
    mt->lSampleSize = wfx->nBlockAlign;
    if (!setFormat)
        return S_OK;
    mt->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (!mt->pbFormat)
        return E_OUTOFMEMORY;
    mt->cbFormat = static_cast<ULONG>(size);
    std::memcpy(mt->pbFormat, wfx, size);
    if (pcm)
        reinterpret_cast<WAVEFORMATEX*>(mt->pbFormat)->cbSize = 0;
    return S_OK;
}

void DeleteMediaType(AM_MEDIA_TYPE* mt)
{
    if (!mt)
        return;
    FreeMediaType(*mt);
    CoTaskMemFree(mt);
}
