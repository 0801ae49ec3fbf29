#include "VfWAudioSourceStream.h"

#include <climits>
#include <cstring>
#include <new>
#include <numeric>

#include "../core/ErrorCodes.h"
#include "AviFileCheck.h"

namespace {

constexpr long kNoCache = 0x7FFFFFFF;
constexpr long kPcmReadAhead = 16384;
// Chunks decoded before the one a seek aims at: an MP3 frame takes data of
// the frames before from its bit reservoir (up to 511 bytes, five frames at
// 32 kb/s) and overlaps its transform with the frame before.
constexpr size_t kChunkPreroll = 6;
// Larger requests are refused rather than allocated.
constexpr ULONGLONG kMaxOutputBytes = 1ULL << 30;

const WAVEFORMATEX& waveFormatOf(const std::unique_ptr<BYTE[]>& block)
{
    return *reinterpret_cast<const WAVEFORMATEX*>(block.get());
}

// The samples per block that ADPCM and GSM 6.10 formats store right after
// their WAVEFORMATEX, or 0. The caller has checked that the cbSize bytes
// lie inside the format.
WORD declaredSamplesPerBlock(const WAVEFORMATEX& format)
{
    bool declares = format.wFormatTag == WAVE_FORMAT_ADPCM || format.wFormatTag == WAVE_FORMAT_IMA_ADPCM
        || format.wFormatTag == WAVE_FORMAT_GSM610;
    if (!declares || format.cbSize < sizeof(WORD))
        return 0;
    WORD samples = 0;
    std::memcpy(&samples, reinterpret_cast<const BYTE*>(&format) + sizeof(WAVEFORMATEX), sizeof(WORD));
    return samples;
}

} // namespace

VfWAudioSourceStream::VfWAudioSourceStream()
    : outputCapacity(0), conversion(nullptr), conversionHeader(), sourceLength(0),
      decodedFirst(kNoCache), decodedLast(0), nextBlock(0), position(0), started(false), blockTimesFromFormat(false),
      blockTimeScale(0), blockTimeRate(0), blockFramesNumerator(1), blockFramesDenominator(1), pcmCacheCapacity(0),
      pcmCacheFirst(0), pcmCacheCount(0), decodedBytes(0), readableBytes(-1), chunkScale(0),
      chunkRate(0), skipBytes(0)
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
    AVISTREAMINFOA info;
    if (int code = openStream(fileName, streamtypeAUDIO, streamIndex, info, true))
        return code;
    AviFileCheck::StoredStream storedValues;
    const AviFileCheck::StoredStream* stored =
        AviFileCheck::storedStream(fileName, streamtypeAUDIO, streamIndex, storedValues) ? &storedValues : nullptr;
    LONG size;
    // Stored PCM formats are often 16 bytes; the rest of the 18 reads as zero.
    if (int code = readFormat(sourceFormat, size, sizeof(WAVEFORMATEX)))
        return code;
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (size < static_cast<LONG>(sizeof(WAVEFORMAT)) || source.nBlockAlign == 0 || source.nSamplesPerSec == 0)
        return VfWError::NoStreamFormat;
    // ACM reads 18 + cbSize bytes of a compressed format: no more than were stored.
    if (source.wFormatTag != WAVE_FORMAT_PCM && sizeof(WAVEFORMATEX) + source.cbSize > static_cast<size_t>(size))
        return VfWError::NoStreamFormat;

    if (source.wFormatTag == WAVE_FORMAT_PCM) {
        std::memcpy(&waveFormat, &source, sizeof(WAVEFORMATEX));
        waveFormat.cbSize = 0;
        length = streamLength();
        if (length == -1)
            return VfWError::UndefinedLength;
        stopAtLastStoredByte(stored, info);
        if (readableBytes >= 0 && length > readableBytes / waveFormat.nBlockAlign)
            length = static_cast<long>(readableBytes / waveFormat.nBlockAlign);
    } else if (int code = openDecoder(stored, info)) {
        return code;
    }
    unusable = false;
    outputCapacity = 0;
    decodedFirst = kNoCache;
    return VfWError::Success;
}

void VfWAudioSourceStream::stopAtLastStoredByte(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    if (stored && stored->sampleSize == 0 && info.dwSampleSize == source.nBlockAlign
        && stored->bytes < static_cast<ULONGLONG>(info.dwLength) * source.nBlockAlign)
        readableBytes = static_cast<LONGLONG>(stored->bytes);
    if (readableBytes < 0 || stored->scale == 0 || stored->rate == 0)
        return;
    chunkStarts.reserve(stored->chunkSizes.size());
    ULONGLONG at = 0;
    for (DWORD size : stored->chunkSizes) {
        chunkStarts.push_back(at);
        at += size;
    }
    chunkScale = stored->scale;
    chunkRate = stored->rate;
}

void VfWAudioSourceStream::setBlockTimes(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    // A WAVE file has no stream header: the platform times its blocks by the
    // format's byte rate, which ffmpeg does not store exactly for ADPCM (its
    // default bit rate: 3 s of IMA ADPCM read as 2.1 s). The samples per
    // block the format declares time them exactly.
    WORD samples = declaredSamplesPerBlock(source);
    if (!stored && samples != 0 && info.dwSampleSize == source.nBlockAlign) {
        blockTimesFromFormat = true;
        blockTimeScale = samples;
        blockTimeRate = source.nSamplesPerSec;
        return;
    }
    if (info.dwScale != 1 || info.dwRate != source.nSamplesPerSec || source.nAvgBytesPerSec == 0
        || source.nAvgBytesPerSec == source.nSamplesPerSec * source.nBlockAlign)
        return;
    blockTimesFromFormat = true;
    // The format's byte rate is an estimate (ffmpeg stores its default bit
    // rate there for ADPCM); the header's is exact where a writer stored one
    // for samples of one block.
    if (stored && stored->sampleSize == source.nBlockAlign && stored->scale != 0 && stored->rate != 0) {
        blockTimeScale = stored->scale;
        blockTimeRate = stored->rate;
    } else {
        blockTimeScale = source.nBlockAlign;
        blockTimeRate = source.nAvgBytesPerSec;
    }
}

int VfWAudioSourceStream::openDecoder(const AviFileCheck::StoredStream* stored, const AVISTREAMINFOA& info)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    setBlockTimes(stored, info);
    stopAtLastStoredByte(stored, info);
    waveFormat = WAVEFORMATEX();
    waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    waveFormat.nChannels = source.nChannels;
    if (acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(&source), &waveFormat, sizeof(WAVEFORMATEX),
                         ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS))
        return VfWError::NoPcmFormat;
    if (waveFormat.nBlockAlign == 0 || waveFormat.nSamplesPerSec == 0)
        return VfWError::NoPcmFormat;
    waveFormat.cbSize = 0;
    setBlockFrames(info);
    if (acmStreamOpen(&conversion, nullptr, const_cast<WAVEFORMATEX*>(&source), &waveFormat, nullptr, 0, 0,
                      ACM_STREAMOPENF_NONREALTIME)) {
        conversion = nullptr;
        return VfWError::CannotInitDecompressor;
    }
    DWORD decodedSize = 0;
    if (acmStreamSize(conversion, source.nBlockAlign, &decodedSize, ACM_STREAMSIZEF_SOURCE) || decodedSize == 0)
        return VfWError::CannotInitDecompressor;
    decodedBuffer.reset(new (std::nothrow) BYTE[decodedSize]);
    sourceBlock.reset(new (std::nothrow) BYTE[source.nBlockAlign]);
    if (!decodedBuffer || !sourceBlock)
        return VfWError::OutOfMemory;

    conversionHeader = ACMSTREAMHEADER();
    conversionHeader.cbStruct = sizeof(ACMSTREAMHEADER);
    conversionHeader.pbSrc = sourceBlock.get();
    conversionHeader.cbSrcLength = source.nBlockAlign;
    conversionHeader.pbDst = decodedBuffer.get();
    conversionHeader.cbDstLength = decodedSize;
    if (acmStreamPrepareHeader(conversion, &conversionHeader, 0)) {
        conversionHeader.cbStruct = 0;
        return VfWError::CannotInitDecompressor;
    }

    sourceLength = streamLength();
    if (readableBytes >= 0 && sourceLength > (readableBytes + source.nBlockAlign - 1) / source.nBlockAlign)
        sourceLength = static_cast<LONG>((readableBytes + source.nBlockAlign - 1) / source.nBlockAlign);
    LONG end = sourceLength == -1 ? -1 : endTime();
    if (end == -1)
        return VfWError::UndefinedLength;
    if (end > 1)
        end -= 1;
    length = MulDiv(end, waveFormat.nSamplesPerSec, 1000);
    return length < 0 ? VfWError::UndefinedLength : VfWError::Success;
}

LONG VfWAudioSourceStream::formatBlockTime(LONGLONG block)
{
    if (block < 0)
        return -1;
    auto time = static_cast<unsigned __int128>(block) * blockTimeScale * 1000 / blockTimeRate;
    return time > LONG_MAX ? -1 : static_cast<LONG>(time);
}

// Milliseconds from the stream's start to its end: the end of its last block,
// or of its last stored byte when the stream ends inside a block.
LONG VfWAudioSourceStream::endTime()
{
    if (readableBytes < 0 || !blockTimesFromFormat)
        return blockToTime(sourceLength);
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    auto time = static_cast<unsigned __int128>(readableBytes) * blockTimeScale * 1000
        / (static_cast<ULONGLONG>(source.nBlockAlign) * blockTimeRate);
    return time > LONG_MAX ? -1 : static_cast<LONG>(time);
}

// Milliseconds from the stream's start to the start of block `block`.
LONG VfWAudioSourceStream::blockToTime(LONG block)
{
    if (blockTimesFromFormat)
        return formatBlockTime(block);
    LONG platform = platformPosition(block);
    LONG origin = AVIStreamSampleToTime(stream, platformPosition(0));
    LONG time = platform == -1 ? -1 : AVIStreamSampleToTime(stream, platform);
    return time == -1 || origin == -1 || time < origin ? -1 : time - origin;
}

void VfWAudioSourceStream::setBlockFrames(const AVISTREAMINFOA& info)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    ULONGLONG rate = waveFormat.nSamplesPerSec;
    if (WORD samples = declaredSamplesPerBlock(source)) {
        blockFramesNumerator = samples;
        blockFramesDenominator = 1;
    } else if (blockTimesFromFormat) {
        blockFramesNumerator = blockTimeScale * rate;
        blockFramesDenominator = blockTimeRate;
    } else {
        blockFramesNumerator = info.dwScale * rate;
        blockFramesDenominator = info.dwRate;
    }
    ULONGLONG divisor = std::gcd(blockFramesNumerator, blockFramesDenominator);
    blockFramesNumerator /= divisor;
    blockFramesDenominator /= divisor;
}

// The first PCM frame of block `block`, exactly (no rounding through
// milliseconds, which misplaces a block by up to a millisecond of frames).
LONGLONG VfWAudioSourceStream::blockStartFrame(LONG block) const
{
    auto frame = static_cast<unsigned __int128>(block) * blockFramesNumerator / blockFramesDenominator;
    return frame > LONG_MAX ? LONG_MAX : static_cast<LONGLONG>(frame);
}

// The first block whose frames reach `frame`.
LONGLONG VfWAudioSourceStream::frameToBlock(LONG frame) const
{
    auto block = static_cast<unsigned __int128>(frame) * blockFramesDenominator / blockFramesNumerator;
    return block > LONG_MAX ? LONG_MAX : static_cast<LONGLONG>(block);
}

double VfWAudioSourceStream::msDuration()
{
    if (!blockTimesFromFormat)
        return VfWSourceStream::msDuration();
    if (notOpened())
        return -1.0;
    lastError = VfWError::Success;
    if (readableBytes >= 0)
        return static_cast<double>(endTime());
    return static_cast<double>(formatBlockTime(static_cast<LONGLONG>(AVIStreamStart(stream)) + sourceLength));
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
    if (!(sample > LONG_MIN && sample < LONG_MAX)) {
        lastError = VfWError::CannotConvertTime;
        return -1;
    }
    return static_cast<long>(sample);
}

unsigned char* VfWAudioSourceStream::getSamples(long first, long last)
{
    if (notOpened())
        return nullptr;
    if (first < 0 || last >= length || first > last) {
        lastError = VfWError::OutOfRange;
        return nullptr;
    }
    if (!reserveOutput(last - first + 1)) {
        lastError = VfWError::OutOfMemory;
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
    lastError = VfWError::Success;
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
            return VfWError::CannotSeek;
        if (!fillPcmCache(position, last))
            return readPcmSampleBySample(position, first, last);
    }
    std::memcpy(outputBuffer.get(), pcmCache.get() + static_cast<size_t>(first - pcmCacheFirst) * frameSize,
                static_cast<size_t>(last - first + 1) * frameSize);
    return VfWError::Success;
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
    LONGLONG bufferSize = static_cast<LONGLONG>(count) * frameSize;
    LONG platform = platformPosition(position);
    if (bufferSize > LONG_MAX || platform == -1)
        return false;
    LONG size = static_cast<LONG>(bufferSize);
    if (AVIStreamRead(stream, platform, count, pcmCache.get(), size, &bytes, &samples) != AVIERR_OK
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
        LONG platform = platformPosition(position);
        if (platform == -1
            || AVIStreamRead(stream, platform, 1, out, waveFormat.nBlockAlign, nullptr, nullptr) != AVIERR_OK)
            return VfWError::ReadError;
        if (position >= first)
            out += waveFormat.nBlockAlign;
    }
    return VfWError::Success;
}

// The buffer only grows; a smaller request reuses it.
bool VfWAudioSourceStream::reserveOutput(long frames)
{
    if (outputBuffer && outputCapacity >= frames)
        return true;
    outputBuffer.reset();
    outputCapacity = 0;
    if (static_cast<ULONGLONG>(frames) * waveFormat.nBlockAlign > kMaxOutputBytes)
        return false;
    outputBuffer.reset(new (std::nothrow) BYTE[static_cast<size_t>(frames) * waveFormat.nBlockAlign]);
    outputCapacity = outputBuffer ? frames : 0;
    return outputBuffer != nullptr;
}

// Positions the decoder on the first PCM frame of the block that holds
// `first`; past the last block, on `first` itself, which reads as silence.
int VfWAudioSourceStream::seek(long first)
{
    if (!chunkStarts.empty()) {
        seekChunk(first);
        return VfWError::Success;
    }
    LONGLONG block = frameToBlock(first);
    LONG found = sourceLength;
    LONGLONG start = first;
    if (block < sourceLength) {
        found = findSample(static_cast<LONG>(block), FIND_PREV | FIND_ANY);
        start = found == -1 ? -1 : blockStartFrame(found);
        if (start < 0 || start > first)
            return VfWError::CannotSeek;
    }
    nextBlock = found;
    position = static_cast<long>(start);
    decodedFirst = position;
    decodedLast = position - 1;
    started = false;
    return VfWError::Success;
}

// Positions the decoder a few chunks before the chunk that holds `first`,
// on the first byte of that chunk and its first PCM frame.
void VfWAudioSourceStream::seekChunk(long first)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    ULONGLONG framesNumerator = static_cast<ULONGLONG>(chunkScale) * waveFormat.nSamplesPerSec;
    auto chunk = static_cast<unsigned __int128>(first) * chunkRate / framesNumerator;
    started = false;
    skipBytes = 0;
    if (chunk >= chunkStarts.size()) {
        nextBlock = sourceLength;
        position = first;
    } else {
        size_t from = static_cast<size_t>(chunk) > kChunkPreroll ? static_cast<size_t>(chunk) - kChunkPreroll : 0;
        ULONGLONG byte = chunkStarts[from];
        nextBlock = static_cast<long>(byte / source.nBlockAlign);
        skipBytes = static_cast<DWORD>(byte % source.nBlockAlign);
        position = static_cast<long>(static_cast<unsigned __int128>(from) * framesNumerator / chunkRate);
    }
    decodedFirst = position;
    decodedLast = position - 1;
}

// Writes the decoded frame at `position` to `out`.
int VfWAudioSourceStream::produceFrame(BYTE* out)
{
    const WORD frameSize = waveFormat.nBlockAlign;
    while (position > decodedLast) {
        if (nextBlock >= sourceLength) {
            std::memset(out, 0, frameSize);
            return VfWError::Success;
        }
        bool decoded = false;
        if (int code = decodeNextBlock(decoded))
            return code;
        if (decoded)
            break;
    }
    size_t offset = static_cast<size_t>(position - decodedFirst) * frameSize;
    if (position < decodedFirst || offset + frameSize > decodedBytes)
        return VfWError::CannotDecompress;
    std::memcpy(out, decodedBuffer.get() + offset, frameSize);
    return VfWError::Success;
}

// Reads block `nextBlock` with the size of its own chunk (Windows gives a
// stream of variable-size chunks one chunk per sample), and never past the
// last stored byte (Wine reads such a stream in blocks of nBlockAlign bytes:
// the last one is shorter, and the platform then reports a buffer too small
// for the block while it has read every byte there is).
int VfWAudioSourceStream::readSourceBlock(DWORD& bytes)
{
    const WAVEFORMATEX& source = waveFormatOf(sourceFormat);
    LONG platform = platformPosition(nextBlock);
    LONG size = 0;
    if (platform == -1 || AVIStreamRead(stream, platform, 1, nullptr, 0, &size, nullptr) != AVIERR_OK || size < 0)
        return VfWError::ReadError;
    if (size > source.nBlockAlign)
        size = source.nBlockAlign;
    bool shortened = false;
    if (readableBytes >= 0) {
        LONGLONG left = readableBytes - static_cast<LONGLONG>(nextBlock) * source.nBlockAlign;
        shortened = left < size;
        size = static_cast<LONG>(left < 0 ? 0 : left < size ? left : size);
    }
    LONG read = 0;
    HRESULT result = size > 0 ? AVIStreamRead(stream, platform, 1, sourceBlock.get(), size, &read, nullptr) : AVIERR_OK;
    bool complete = result == AVIERR_OK || (shortened && result == AVIERR_BUFFERTOOSMALL && read == size);
    if (!complete || read < 0 || read > size)
        return VfWError::ReadError;
    bytes = static_cast<DWORD>(read);
    return VfWError::Success;
}

int VfWAudioSourceStream::decodeNextBlock(bool& decoded)
{
    DWORD bytes = 0;
    if (int code = readSourceBlock(bytes))
        return code;
    nextBlock += 1;
    if (skipBytes) {
        DWORD skip = skipBytes < bytes ? skipBytes : bytes;
        std::memmove(sourceBlock.get(), sourceBlock.get() + skip, bytes - skip);
        bytes -= skip;
        skipBytes = 0;
    }
    if (bytes == 0)
        return VfWError::Success;
    conversionHeader.cbSrcLength = bytes;
    DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | (started ? 0 : ACM_STREAMCONVERTF_START);
    if (acmStreamConvert(conversion, &conversionHeader, flags))
        return VfWError::CannotDecompress;
    started = true;
    DWORD frames = conversionHeader.cbDstLengthUsed / waveFormat.nBlockAlign;
    // A block that decodes to nothing keeps the frames already cached.
    if (frames == 0)
        return VfWError::Success;
    decodedBytes = conversionHeader.cbDstLengthUsed;
    decodedFirst = decodedLast + 1;
    decodedLast += frames;
    decoded = true;
    return VfWError::Success;
}
