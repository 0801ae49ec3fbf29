#include "AudioSourceStream.h"

#include "../directshow/DSAudioSourceStream.h"
#include "../vfw/VfWAudioSourceStream.h"
#include "BackendChoice.h"
#include "WaitDialog.h"

AudioSourceStream::AudioSourceStream()
    : waveFormat()
{
}

AudioSourceStream::~AudioSourceStream() = default;

bool AudioSourceStream::isRawData()
{
    return false;
}

VIDEOINFOHEADER* AudioSourceStream::videoInfo(VIDEOINFOHEADER&)
{
    return nullptr;
}

WAVEFORMATEX* AudioSourceStream::format()
{
    lastError = unusable ? 1 : 0;
    return &waveFormat;
}

AudioSourceStream* AudioSourceStream::open(char* fileName, bool useDirectShow, int streamIndex, TrelixNotification* n)
{
    if (useDirectShow)
        return DSAudioSourceStream::open(fileName, streamIndex, n);
    return VfWAudioSourceStream::open(fileName, streamIndex, n);
}

AudioSourceStream* AudioSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    return openAutomatically<AudioSourceStream>(
        [&] { return open(fileName, false, streamIndex, n); },
        [&] { return open(fileName, true, streamIndex, n); });
}

unsigned char* AudioSourceStream::getSamples(int options, void* parentWindow, long first, long last, char* title)
{
    if (notOpened())
        return nullptr;
    if (!usesDirectShow())
        return getSamples(first, last);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitGetSamples, first, last))
        return nullptr;
    return static_cast<unsigned char*>(r.result.pointer);
}
