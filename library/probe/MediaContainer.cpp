#include "MediaContainer.h"

#include <initializer_list>
#include <uuids.h>

// ksuuids.h lists its GUIDs through this macro; their values come from strmiids.
#define OUR_GUID_ENTRY(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8);
#include <ksuuids.h>
#undef OUR_GUID_ENTRY

namespace {

bool isOneOf(const GUID& guid, std::initializer_list<const GUID*> candidates)
{
    for (const GUID* candidate : candidates) {
        if (IsEqualGUID(guid, *candidate))
            return true;
    }
    return false;
}

} // namespace

bool MediaContainer::isAudio(const AM_MEDIA_TYPE& mt)
{
    if (IsEqualGUID(mt.majortype, MEDIATYPE_MPEG2_PACK))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_DOLBY_AC3, &MEDIASUBTYPE_MPEG2_AUDIO, &MEDIASUBTYPE_DVD_LPCM_AUDIO,
                                    &MEDIASUBTYPE_MPEG2_TRANSPORT, &MEDIASUBTYPE_MPEG2_TRANSPORT_STRIDE,
                                    &MEDIASUBTYPE_MPEG2_PROGRAM});
    if (IsEqualGUID(mt.majortype, MEDIATYPE_Stream))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_WAVE, &MEDIASUBTYPE_AU, &MEDIASUBTYPE_AIFF, &MEDIASUBTYPE_MPEG1Audio,
                                    &MEDIASUBTYPE_DssAudio, &MEDIASUBTYPE_Asf, &MEDIASUBTYPE_Avi,
                                    &MEDIASUBTYPE_MPEG1System, &MEDIASUBTYPE_MPEG1VideoCD});
    return isOneOf(mt.majortype, {&MEDIATYPE_Audio, &MEDIATYPE_AnalogAudio, &MEDIATYPE_Midi, &MEDIATYPE_Interleaved});
}

bool MediaContainer::isVideo(const AM_MEDIA_TYPE& mt)
{
    if (IsEqualGUID(mt.majortype, MEDIATYPE_MPEG2_PACK))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_MPEG2_TRANSPORT, &MEDIASUBTYPE_MPEG2_TRANSPORT_STRIDE,
                                    &MEDIASUBTYPE_MPEG2_PROGRAM});
    if (IsEqualGUID(mt.majortype, MEDIATYPE_Stream))
        return isOneOf(mt.subtype, {&MEDIASUBTYPE_MPEG1Video, &MEDIASUBTYPE_DssVideo, &MEDIASUBTYPE_Asf,
                                    &MEDIASUBTYPE_Avi, &MEDIASUBTYPE_MPEG1System, &MEDIASUBTYPE_MPEG1VideoCD});
    return isOneOf(mt.majortype, {&MEDIATYPE_Video, &MEDIATYPE_AnalogVideo, &MEDIATYPE_Interleaved});
}
