#include "OutputAVIFile.h"

#include <commctrl.h>
#include <cstring>
#include <new>

#include "../core/BackendChoice.h"
#include "../directshow/DSOutputAVIFile.h"
#include "../vfw/VfWOutputAVIFile.h"

OutputAVIFile::OutputAVIFile()
    : nextFrameNumber(0), nextSampleNumber(0), video(nullptr), audio(nullptr), videoCompressed(false),
      audioCompressed(false), audioBufferCapacity(0), audioBuffer(nullptr), audioBufferFirst(0), audioBufferLast(-1),
      audioBufferBytes(0), audioBufferKey(false), audioBufferSize(0)
{
    // The compressor settings dialogs use a track bar.
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
}

OutputAVIFile::~OutputAVIFile()
{
    delete[] audioBuffer;
}

OutputAVIFile* OutputAVIFile::create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                     const WAVEFORMATEX* audio, bool compressAudio, bool useDirectShow)
{
    if (useDirectShow)
        return DSOutputAVIFile::create(fileName, video, compressVideo, audio, compressAudio);
    return VfWOutputAVIFile::create(fileName, video, compressVideo, audio, compressAudio);
}

OutputAVIFile* OutputAVIFile::create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                     const WAVEFORMATEX* audio, bool compressAudio)
{
    return openAutomatically<OutputAVIFile>(
        [&] { return create(fileName, video, compressVideo, audio, compressAudio, false); },
        [&] { return create(fileName, video, compressVideo, audio, compressAudio, true); });
}

void OutputAVIFile::setFormats(const VIDEOINFOHEADER* videoFormat, bool compressVideo, const WAVEFORMATEX* audioFormat,
                               bool compressAudio)
{
    video = videoFormat;
    videoCompressed = compressVideo;
    audio = audioFormat;
    audioCompressed = compressAudio;
}

const VIDEOINFOHEADER* OutputAVIFile::videoFormat()
{
    lastError = unusable ? 1 : 0;
    return video;
}

const WAVEFORMATEX* OutputAVIFile::audioFormat()
{
    lastError = unusable ? 1 : 0;
    return audio;
}

bool OutputAVIFile::compressedVideo()
{
    lastError = unusable ? 1 : video ? 0 : 200;
    return videoCompressed;
}

bool OutputAVIFile::compressedAudio()
{
    lastError = unusable ? 1 : audio ? 0 : 201;
    return audioCompressed;
}

long OutputAVIFile::nextFrame_number()
{
    if (notOpened())
        return -1;
    lastError = video ? 0 : 200;
    return video ? nextFrameNumber : -1;
}

long OutputAVIFile::nextSample_number()
{
    if (notOpened())
        return -1;
    lastError = audio ? 0 : 201;
    return audio ? nextSampleNumber : -1;
}

long OutputAVIFile::nextSample_number_inBuffer()
{
    if (notOpened())
        return -1;
    lastError = audio ? 0 : 201;
    return audio ? audioBufferLast + 1 : -1;
}

// Compressors take 24- and 32-bit BI_RGB, 16-bit BI_BITFIELDS and FOURCC
// formats, not the other layouts.
bool OutputAVIFile::acceptableFormats()
{
    if (!video && !audio) {
        lastError = 202;
        return false;
    }
    if (!video || !videoCompressed)
        return true;
    const BITMAPINFOHEADER& header = video->bmiHeader;
    bool refused = (header.biBitCount == 16 && header.biCompression != BI_BITFIELDS)
        || (header.biBitCount == 32 && header.biCompression == BI_BITFIELDS) || header.biCompression == BI_JPEG
        || header.biCompression == BI_PNG;
    if (refused)
        lastError = 203;
    return !refused;
}

bool OutputAVIFile::bufferedWriteSample(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (notOpened())
        return false;
    if (!audio) {
        lastError = 201;
        return false;
    }
    long capacityBytes = audioBufferCapacity * audio->nBlockAlign;
    if (bytes < 0)
        bytes = (audio->wBitsPerSample * audio->nChannels * count) >> 3;
    if (bytes > capacityBytes || bytes < 0) {
        lastError = 208;
        return false;
    }
    if (!audioBuffer || audioBufferSize < capacityBytes) {
        if (!reserveAudioBuffer(capacityBytes))
            return false;
    } else if (appendsToBuffer(first, count, bytes, key)) {
        std::memcpy(audioBuffer + audioBufferBytes, data, bytes);
        audioBufferLast = first + count - 1;
        audioBufferBytes += bytes;
        return true;
    } else if (!flushAudio()) {
        return false;
    }
    startBuffer(first, data, count, bytes, key);
    return true;
}

// Allocates the buffer, or a larger one after the period grew (what the old
// one holds is written first).
bool OutputAVIFile::reserveAudioBuffer(long capacityBytes)
{
    if (audioBuffer && !flushAudio())
        return false;
    delete[] audioBuffer;
    audioBuffer = new (std::nothrow) unsigned char[capacityBytes > 0 ? capacityBytes : 1];
    audioBufferSize = audioBuffer ? capacityBytes : 0;
    if (!audioBuffer)
        lastError = 2;
    return audioBuffer != nullptr;
}

bool OutputAVIFile::appendsToBuffer(long first, long count, long bytes, bool key)
{
    return first == audioBufferLast + 1 && audioBufferFirst + audioBufferCapacity >= first + count
        && audioBufferBytes + bytes <= audioBufferCapacity * audio->nBlockAlign && key == audioBufferKey;
}

void OutputAVIFile::startBuffer(long first, unsigned char* data, long count, long bytes, bool key)
{
    audioBufferFirst = first;
    audioBufferLast = first + count - 1;
    audioBufferKey = key;
    std::memcpy(audioBuffer, data, bytes);
    audioBufferBytes = bytes;
}

bool OutputAVIFile::flushAudio()
{
    if (notOpened())
        return false;
    if (!audio) {
        lastError = 201;
        return false;
    }
    if (!audioBuffer || audioBufferBytes == 0)
        return true;
    bool written = writeSample(audioBufferFirst, audioBuffer, audioBufferLast - audioBufferFirst + 1, audioBufferBytes,
                               audioBufferKey);
    audioBufferFirst = audioBufferLast + 1;
    audioBufferBytes = 0;
    return written;
}
