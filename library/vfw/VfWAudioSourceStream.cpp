#include "VfWAudioSourceStream.h"

#include <climits>
#include <cstring>
#include <new>

namespace {

constexpr long kNoCache = 0x7FFFFFFF;
constexpr long kPcmReadAhead = 16384;

const WAVEFORMATEX& waveFormatOf(const std::unique_ptr<BYTE[]>& block)
{
    return *reinterpret_cast<const WAVEFORMATEX*>(block.get());
}

} // namespace

VfWAudioSourceStream::VfWAudioSourceStream()
    : outputCapacity(0), conversion(nullptr), conversionHeader(), sourceLength(0),
      decodedFirst(kNoCache), decodedLast(0), nextBlock(0), position(0), started(false), blockTimesFromFormat(false),
      pcmCacheCapacity(0), pcmCacheFirst(0), pcmCacheCount(0)
{
}

VfWAudioSourceStream::~VfWAudioSourceStream()
{
    if (conversionHeader.cbStruct)
        acmStreamUnprepareHeader(conversion, &conversionHeader, 0);
    if (conversion)
        acmStreamClose(conversion, 0);
}

VfWAudioSourceStream* VfWAudioSourceStream::open(char* fileName, int streamIndex, TrelixNotification* n)
{
    return opened(new (std::nothrow) VfWAudioSourceStream(), n,
                  [&](VfWAudioSourceStream& source) { return source.openAudio(fileName, streamIndex); });
}

int VfWAudioSourceStream::openAudio(char* fileName, int streamIndex)
{
    if (int code = openStream(fileName, streamtypeAUDIO, streamIndex))
        return code;
    LONG size;
    // Stored PCM formats are often 16 bytes; the rest of the 18 reads as zero.
    if (int code = readFormat(sourceFormat, size, sizeof(WAVEFORMATEX)))
        return code;
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (size < static_cast<LONG>(sizeof(WAVEFORMAT)) || source.nBlockAlign == 0 || source.nSamplesPerSec == 0)
        return 5;

    if (source.wFormatTag == WAVE_FORMAT_PCM) {
        std::memcpy(&waveFormat, &source, sizeof(WAVEFORMATEX));
        waveFormat.cbSize = 0;
        length = AVIStreamLength(stream);
        if (length == -1)
            return 6;
    } else if (int code = openDecoder()) {
        return code;
    }
    unusable = false;
    outputCapacity = 0;
    decodedFirst = kNoCache;
    return 0;
}

int VfWAudioSourceStream::openDecoder()
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    AVISTREAMINFOA info;
    if (AVIStreamInfoA(stream, &info, sizeof(info)) == AVIERR_OK && info.dwScale == 1
        && info.dwRate == source.nSamplesPerSec && source.nAvgBytesPerSec != 0
        && source.nAvgBytesPerSec != source.nSamplesPerSec * source.nBlockAlign)
        blockTimesFromFormat = true;
    waveFormat = WAVEFORMATEX();
    waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    waveFormat.nChannels = source.nChannels;
    if (acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(&source), &waveFormat, sizeof(WAVEFORMATEX),
                         ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS))
        return 12;
    if (waveFormat.nBlockAlign == 0 || waveFormat.nSamplesPerSec == 0)
        return 12;
    waveFormat.cbSize = 0;
    if (acmStreamOpen(&conversion, nullptr, const_cast<WAVEFORMATEX*>(&source), &waveFormat, nullptr, 0, 0,
                      ACM_STREAMOPENF_NONREALTIME)) {
        conversion = nullptr;
        return 13;
    }
    DWORD decodedSize = 0;
    if (acmStreamSize(conversion, source.nBlockAlign, &decodedSize, ACM_STREAMSIZEF_SOURCE) || decodedSize == 0)
        return 13;
    decodedBuffer.reset(new (std::nothrow) BYTE[decodedSize]);
    sourceBlock.reset(new (std::nothrow) BYTE[source.nBlockAlign]);
    if (!decodedBuffer || !sourceBlock)
        return 2;

    conversionHeader = ACMSTREAMHEADER();
    conversionHeader.cbStruct = sizeof(ACMSTREAMHEADER);
    conversionHeader.pbSrc = sourceBlock.get();
    conversionHeader.cbSrcLength = source.nBlockAlign;
    conversionHeader.pbDst = decodedBuffer.get();
    conversionHeader.cbDstLength = decodedSize;
    if (acmStreamPrepareHeader(conversion, &conversionHeader, 0)) {
        conversionHeader.cbStruct = 0;
        return 13;
    }

    sourceLength = AVIStreamLength(stream);
    LONG end = blockToTime(sourceLength);
    if (sourceLength == -1 || end == -1)
        return 6;
    if (end > 1)
        end -= 1;
    length = MulDiv(end, waveFormat.nSamplesPerSec, 1000);
    return 0;
}

LONG VfWAudioSourceStream::blockToTime(LONG block)
{
    if (!blockTimesFromFormat)
        return AVIStreamSampleToTime(stream, block);
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (block < 0)
        return -1;
    return static_cast<LONG>(static_cast<LONGLONG>(block) * source.nBlockAlign * 1000 / source.nAvgBytesPerSec);
}

LONG VfWAudioSourceStream::timeToBlock(LONG milliseconds)
{
    if (!blockTimesFromFormat)
        return AVIStreamTimeToSample(stream, milliseconds);
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (milliseconds < 0)
        return -1;
    LONGLONG block = static_cast<LONGLONG>(milliseconds) * source.nAvgBytesPerSec / (1000LL * source.nBlockAlign);
    return static_cast<LONG>(block < sourceLength ? block : sourceLength);
}

double VfWAudioSourceStream::msDuration()
{
    if (!blockTimesFromFormat)
        return VfWSourceStream::msDuration();
    if (notOpened())
        return -1.0;
    lastError = 0;
    return static_cast<double>(blockToTime(AVIStreamStart(stream) + sourceLength));
}

double VfWAudioSourceStream::StreamSampleToTime(long& sample)
{
    if (!conversion)
        return VfWSourceStream::StreamSampleToTime(sample);
    if (notOpened())
        return -1.0;
    return sample * 1000.0 / waveFormat.nSamplesPerSec;
}

long VfWAudioSourceStream::StreamTimeToSample(double& milliseconds)
{
    if (!conversion)
        return VfWSourceStream::StreamTimeToSample(milliseconds);
    if (notOpened())
        return -1;
    double sample = waveFormat.nSamplesPerSec * milliseconds * 0.001;
    if (!(sample > LONG_MIN && sample < LONG_MAX))
        return -1;
    return static_cast<long>(sample);
}

unsigned char* VfWAudioSourceStream::getSamples(long first, long last)
{
    if (notOpened())
        return nullptr;
    if (first < 0 || last >= length || first > last) {
        lastError = 8;
        return nullptr;
    }
    if (!reserveOutput(last - first + 1)) {
        lastError = 2;
        return nullptr;
    }
    if (!conversion) {
        lastError = readPcm(first, last);
        return lastError ? nullptr : outputBuffer.get();
    }
    if (first < decodedFirst || first > decodedLast + 1) {
        if (int code = seek(first)) {
            lastError = code;
            return nullptr;
        }
    } else {
        position = first;
    }
    BYTE* out = outputBuffer.get();
    while (position <= last) {
        if (int code = produceFrame(out)) {
            lastError = code;
            return nullptr;
        }
        if (position >= first)
            out += waveFormat.nBlockAlign;
        position += 1;
    }
    lastError = 0;
    return outputBuffer.get();
}

// Copies frames first..last into the output buffer from the read-ahead
// cache, refilled from the frame the seek finds when it does not hold them.
int VfWAudioSourceStream::readPcm(long first, long last)
{
    const WORD frameSize = waveFormat.nBlockAlign;
    if (first < pcmCacheFirst || last >= pcmCacheFirst + pcmCacheCount) {
        LONG position = findSample(first, FIND_PREV | FIND_ANY);
        if (position == -1 || position > first)
            return 14;
        if (!fillPcmCache(position, last))
            return readPcmSampleBySample(position, first, last);
    }
    std::memcpy(outputBuffer.get(), pcmCache.get() + static_cast<size_t>(first - pcmCacheFirst) * frameSize,
                static_cast<size_t>(last - first + 1) * frameSize);
    return 0;
}

bool VfWAudioSourceStream::fillPcmCache(long position, long last)
{
    const WORD frameSize = waveFormat.nBlockAlign;
    long count = last - position + 1 > kPcmReadAhead ? last - position + 1 : kPcmReadAhead;
    if (count > length - position)
        count = length - position;
    pcmCacheCount = 0;
    if (count > pcmCacheCapacity) {
        pcmCache.reset(new (std::nothrow) BYTE[static_cast<size_t>(count) * frameSize]);
        pcmCacheCapacity = pcmCache ? count : 0;
        if (!pcmCache)
            return false;
    }
    LONG bytes = 0, samples = 0;
    LONG size = static_cast<LONG>(count * frameSize);
    if (AVIStreamRead(stream, position, count, pcmCache.get(), size, &bytes, &samples) != AVIERR_OK
        || samples != count || bytes != size)
        return false;
    pcmCacheFirst = position;
    pcmCacheCount = count;
    return true;
}

// One frame per read, as the platform may refuse larger reads.
int VfWAudioSourceStream::readPcmSampleBySample(long position, long first, long last)
{
    BYTE* out = outputBuffer.get();
    for (; position <= last; ++position) {
        if (AVIStreamRead(stream, position, 1, out, waveFormat.nBlockAlign, nullptr, nullptr) != AVIERR_OK)
            return 15;
        if (position >= first)
            out += waveFormat.nBlockAlign;
    }
    return 0;
}

// The buffer only grows; a smaller request reuses it.
bool VfWAudioSourceStream::reserveOutput(long frames)
{
    if (outputBuffer && outputCapacity >= frames)
        return true;
    outputBuffer.reset(new (std::nothrow) BYTE[static_cast<size_t>(frames) * waveFormat.nBlockAlign]);
    outputCapacity = outputBuffer ? frames : 0;
    return outputBuffer != nullptr;
}

// Positions the decoder on the first PCM frame of the block that holds `first`.
int VfWAudioSourceStream::seek(long first)
{
    LONG rate = waveFormat.nSamplesPerSec;
    LONG block = timeToBlock(MulDiv(first, 1000, rate));
    if (block != -1)
        block = findSample(block, FIND_PREV | FIND_ANY);
    if (block == -1)
        return 14;
    nextBlock = block;
    LONG found = MulDiv(blockToTime(block), rate, 1000);
    if (found == -1)
        return 14;
    position = found;
    decodedLast = position - 1;
    started = false;
    return 0;
}

// Writes the decoded frame at `position` to `out`.
int VfWAudioSourceStream::produceFrame(BYTE* out)
{
    const WORD frameSize = waveFormat.nBlockAlign;
    while (position > decodedLast) {
        if (nextBlock >= sourceLength) {
            std::memset(out, 0, frameSize);
            return 0;
        }
        bool decoded = false;
        if (int code = decodeNextBlock(decoded))
            return code;
        if (decoded)
            break;
    }
    size_t offset = static_cast<size_t>(position - decodedFirst) * frameSize;
    if (position < decodedFirst || offset + frameSize > conversionHeader.cbDstLengthUsed)
        return 11;
    std::memcpy(out, decodedBuffer.get() + offset, frameSize);
    return 0;
}

int VfWAudioSourceStream::decodeNextBlock(bool& decoded)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (AVIStreamRead(stream, nextBlock, 1, sourceBlock.get(), source.nBlockAlign, nullptr, nullptr) != AVIERR_OK)
        return 15;
    nextBlock += 1;
    DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | (started ? 0 : ACM_STREAMCONVERTF_START);
    if (acmStreamConvert(conversion, &conversionHeader, flags))
        return 11;
    started = true;
    DWORD frames = conversionHeader.cbDstLengthUsed / waveFormat.nBlockAlign;
    if (frames == 0)
        return 0;
    decodedFirst = decodedLast + 1;
    decodedLast += frames;
    decoded = true;
    return 0;
}
