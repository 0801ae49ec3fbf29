#include "AudioSourceStream.h"

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
