#include "OutputAVIFile.h"

#include <algorithm>
#include <climits>
#include <commctrl.h>
#include <cstring>
#include <new>

#include "../core/BackendChoice.h"
#include "../directshow/DSOutputAVIFile.h"
#include "../core/ErrorCodes.h"
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

bool OutputAVIFile::audioCountsBlocks() const
{
    return audio && !audioCompressed && audio->wFormatTag != WAVE_FORMAT_PCM;
}

namespace {

constexpr LONGLONG kUnitsPerSecond = 10000000;

// Audio units per second as a fraction: samples, or blocks of copied
// compressed audio (nAvgBytesPerSec / nBlockAlign).
void audioUnitRate(const WAVEFORMATEX* audio, bool blocks, LONGLONG& perSecond, LONGLONG& divisor)
{
    perSecond = blocks ? audio->nAvgBytesPerSec : audio->nSamplesPerSec;
    divisor = blocks ? std::max<LONGLONG>(audio->nBlockAlign, 1) : 1;
}

LONGLONG maximumUnits(const WAVEFORMATEX* audio)
{
    return LONG_MAX / std::max<LONGLONG>(audio->nBlockAlign, 1);
}

} // namespace

long OutputAVIFile::audioCapacityFor(LONGLONG interleaving) const
{
    LONGLONG perSecond, divisor;
    audioUnitRate(audio, audioCountsBlocks(), perSecond, divisor);
    __int128 units = interleaving > 0 ? static_cast<__int128>(interleaving) * perSecond / (kUnitsPerSecond * divisor) : 0;
    units = std::min<__int128>(units, maximumUnits(audio));
    return units < 1 ? 1 : static_cast<long>(units);
}

LONGLONG OutputAVIFile::maximumPeriod() const
{
    LONGLONG perSecond, divisor;
    audioUnitRate(audio, audioCountsBlocks(), perSecond, divisor);
    if (perSecond <= 0)
        return LLONG_MAX;
    __int128 longest = static_cast<__int128>(maximumUnits(audio) + 1) * kUnitsPerSecond * divisor / perSecond - 1;
    return static_cast<LONGLONG>(std::min<__int128>(longest, LLONG_MAX));
}

const VIDEOINFOHEADER* OutputAVIFile::videoFormat()
{
    lastError = unusable ? VfWError::NotOpened : VfWError::Success;
    return video;
}

const WAVEFORMATEX* OutputAVIFile::audioFormat()
{
    lastError = unusable ? VfWError::NotOpened : VfWError::Success;
    return audio;
}

bool OutputAVIFile::compressedVideo()
{
    lastError = unusable ? VfWError::NotOpened : video ? VfWError::Success : int(OutputError::NoVideoStream);
    return videoCompressed;
}

bool OutputAVIFile::compressedAudio()
{
    lastError = unusable ? VfWError::NotOpened : audio ? VfWError::Success : int(OutputError::NoAudioStream);
    return audioCompressed;
}

long OutputAVIFile::nextFrame_number()
{
    if (notOpened())
        return -1;
    lastError = video ? VfWError::Success : int(OutputError::NoVideoStream);
    return video ? nextFrameNumber : -1;
}

long OutputAVIFile::nextSample_number()
{
    if (notOpened())
        return -1;
    lastError = audio ? VfWError::Success : int(OutputError::NoAudioStream);
    return audio ? nextSampleNumber : -1;
}

long OutputAVIFile::nextSample_number_inBuffer()
{
    if (notOpened())
        return -1;
    lastError = audio ? VfWError::Success : int(OutputError::NoAudioStream);
    return audio ? audioBufferLast + 1 : -1;
}

// Compressors take 24- and 32-bit BI_RGB, 16-bit BI_BITFIELDS and FOURCC
// formats, not the other layouts.
bool OutputAVIFile::acceptableFormats()
{
    if (!video && !audio) {
        lastError = OutputError::NoStreams;
        return false;
    }
    if (!video || !videoCompressed)
        return true;
    const BITMAPINFOHEADER& header = video->bmiHeader;
    bool refused = (header.biBitCount == 16 && header.biCompression != BI_BITFIELDS)
        || (header.biBitCount == 32 && header.biCompression == BI_BITFIELDS) || header.biCompression == BI_JPEG
        || header.biCompression == BI_PNG;
    if (refused)
        lastError = OutputError::UnacceptableVideoFormat;
    return !refused;
}

bool OutputAVIFile::bufferedWriteSample(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (notOpened())
        return false;
    if (!audio) {
        lastError = OutputError::NoAudioStream;
        return false;
    }
    long capacityBytes = static_cast<long>(
        std::min<LONGLONG>(static_cast<LONGLONG>(audioBufferCapacity) * audio->nBlockAlign, LONG_MAX));
    if (bytes < 0)
        bytes = (audio->wBitsPerSample * audio->nChannels * count) >> 3;
    if (bytes > capacityBytes || bytes < 0) {
        lastError = OutputError::AudioBufferOverflow;
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
        lastError = VfWError::OutOfMemory;
    return audioBuffer != nullptr;
}

bool OutputAVIFile::appendsToBuffer(long first, long count, long bytes, bool key)
{
    return first == audioBufferLast + 1 && audioBufferFirst + audioBufferCapacity >= first + count
        && static_cast<LONGLONG>(audioBufferBytes) + bytes <= static_cast<LONGLONG>(audioBufferCapacity) * audio->nBlockAlign
        && key == audioBufferKey;
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
        lastError = OutputError::NoAudioStream;
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
