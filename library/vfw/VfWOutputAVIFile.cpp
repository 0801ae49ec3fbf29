#include "VfWOutputAVIFile.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <numeric>
#include <utility>

#include "../core/ErrorCodes.h"
#include "AviFileCheck.h"
#include "AviHeaderRepair.h"
#include "InterleavingPeriodDialog.h"

namespace {

constexpr LONGLONG kDefaultPeriod = 7500000;
constexpr DWORD kInterleaveFlag = AVICOMPRESSF_INTERLEAVE;

constexpr LONGLONG kUnitsPerSecond = 10000000;
// Silence written in one piece when a gap in PCM audio is filled.
constexpr long kSilenceSamples = 4096;

// The exact frame rate 10 000 000 / AvgTimePerFrame, as a reduced fraction.
// A frame longer than a 32-bit scale can count is stored in whole seconds.
void exactFrameRate(LONGLONG avgTimePerFrame, DWORD& rate, DWORD& scale)
{
    LONGLONG divisor = std::gcd(kUnitsPerSecond, avgTimePerFrame);
    LONGLONG reducedScale = avgTimePerFrame / divisor;
    if (reducedScale > 0xFFFFFFFFLL) {
        rate = 1;
        scale = static_cast<DWORD>(std::min<LONGLONG>((avgTimePerFrame + kUnitsPerSecond / 2) / kUnitsPerSecond,
                                                      0xFFFFFFFFLL));
        return;
    }
    rate = static_cast<DWORD>(kUnitsPerSecond / divisor);
    scale = static_cast<DWORD>(reducedScale);
}

std::unique_ptr<char[]> fullPath(const char* fileName)
{
    DWORD size = GetFullPathNameA(fileName, 0, nullptr, nullptr);
    std::unique_ptr<char[]> path(size ? new (std::nothrow) char[size] : nullptr);
    if (path && GetFullPathNameA(fileName, size, path.get(), nullptr) >= size)
        path.reset();
    return path;
}

LONG formatLength(const WAVEFORMATEX* format)
{
    return format->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + format->cbSize;
}

} // namespace

VfWOutputAVIFile::VfWOutputAVIFile()
    : aviFile(nullptr), videoStream(nullptr), audioStream(nullptr), compressedVideoStream(nullptr), acmStream(nullptr),
      acmHeader(), acmSourceCapacity(0), compressedPosition(0), videoOptions(), audioOptions(),
      videoCompressorSet(false), audioCompressorSet(false), videoOptionsFromDialog(false), audioFormatOwned(false),
      conversionStarted(false), initialParms(nullptr), initialParmsSize(0), period(kDefaultPeriod),
      parmsReplaced(false), acmSourceBlock(0)
{
    acmHeader.cbStruct = sizeof(ACMSTREAMHEADER);
}

VfWOutputAVIFile::~VfWOutputAVIFile()
{
    finishAudioConversion(false);
    finishFile();
    restoreInitialParms();
    if (videoOptionsFromDialog) {
        AVICOMPRESSOPTIONS* options = &videoOptions;
        AVISaveOptionsFree(1, &options);
    }
    if (audioFormatOwned)
        delete[] static_cast<BYTE*>(audioOptions.lpFormat);
}

VfWOutputAVIFile* VfWOutputAVIFile::create(const char* fileName, const VIDEOINFOHEADER* video, bool compressVideo,
                                           const WAVEFORMATEX* audio, bool compressAudio)
{
    auto* writer = new (std::nothrow) VfWOutputAVIFile();
    if (!writer)
        return nullptr;
    writer->setFormats(video, compressVideo, audio, compressAudio);
    if (writer->acceptableFormats())
        writer->lastError = writer->createFile(fileName);
    return writer;
}

int VfWOutputAVIFile::createFile(const char* fileName)
{
    if (AVIFileOpenA(&aviFile, fileName, OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) {
        aviFile = nullptr;
        return VfWError::CannotCreateFile;
    }
    // The header repair after closing reopens the file: by its full name, in
    // case the current folder changes meanwhile.
    path = fullPath(fileName);
    if (video) {
        // Without a frame period there is no frame rate to store.
        if (video->AvgTimePerFrame <= 0)
            return VfWError::CannotCreateVideoStream;
        AVISTREAMINFOA info = {};
        info.fccType = streamtypeVIDEO;
        info.fccHandler = video->bmiHeader.biCompression;
        exactFrameRate(video->AvgTimePerFrame, info.dwRate, info.dwScale);
        info.rcFrame = video->rcTarget;
        lstrcpyA(info.szName, "video stream");
        if (AVIFileCreateStreamA(aviFile, &videoStream, &info) != AVIERR_OK) {
            videoStream = nullptr;
            return VfWError::CannotCreateVideoStream;
        }
    }
    if (audio) {
        AVISTREAMINFOA info = {};
        info.fccType = streamtypeAUDIO;
        // Compressed audio stored as written counts its own blocks.
        info.dwScale = audio->nBlockAlign;
        info.dwRate = audioCountsBlocks() ? audio->nAvgBytesPerSec : audio->nSamplesPerSec * audio->nBlockAlign;
        lstrcpyA(info.szName, "audio stream");
        if (AVIFileCreateStreamA(aviFile, &audioStream, &info) != AVIERR_OK) {
            audioStream = nullptr;
            return VfWError::CannotCreateAudioStream;
        }
    }
    unusable = false;
    return VfWError::Success;
}

bool VfWOutputAVIFile::isAutomaticallyInterleaved()
{
    return false;
}

bool VfWOutputAVIFile::setAutomaticInterleaving(bool)
{
    return false;
}

bool VfWOutputAVIFile::isCompressorSet(bool isVideo)
{
    return isVideo ? videoCompressorSet : audioCompressorSet;
}

bool VfWOutputAVIFile::canSetCompressor(bool isVideo)
{
    lastError = VfWError::Success;
    if (unusable)
        return false;
    return isVideo ? video && videoCompressed && !videoCompressorSet : audio && audioCompressed && !audioCompressorSet;
}

// Why a compressor cannot be set for the stream now: 200/201, 204, 205, or 0.
int VfWOutputAVIFile::compressorRefusal(bool isVideo)
{
    if (isVideo)
        return !video ? int(OutputError::NoVideoStream) : !videoCompressed ? int(OutputError::CopyRequired)
            : videoCompressorSet ? int(OutputError::CompressorAlreadySet) : VfWError::Success;
    return !audio ? int(OutputError::NoAudioStream) : !audioCompressed ? int(OutputError::CopyRequired)
        : audioCompressorSet ? int(OutputError::CompressorAlreadySet) : VfWError::Success;
}

bool VfWOutputAVIFile::setCompressor(bool isVideo, void* compressor)
{
    if (notOpened())
        return false;
    if (int code = compressorRefusal(isVideo)) {
        lastError = code;
        return false;
    }
    auto* options = static_cast<AVICOMPRESSOPTIONS*>(compressor);
    if (!options)
        (isVideo ? videoCompressed : audioCompressed) = false;
    else if (!(isVideo ? setVideoCompressor(options) : setAudioCompressor(options)))
        return false;
    lastError = VfWError::Success;
    return true;
}

bool VfWOutputAVIFile::setVideoCompressor(AVICOMPRESSOPTIONS* options)
{
    if (options == &videoOptions)
        videoOptionsFromDialog = true;
    else
        videoOptions = *options;
    videoCompressorSet = true;
    return true;
}

bool VfWOutputAVIFile::setAudioCompressor(AVICOMPRESSOPTIONS* options)
{
    if (options == &audioOptions)
        audioFormatOwned = true;
    else
        audioOptions = *options;
    auto* target = static_cast<WAVEFORMATEX*>(audioOptions.lpFormat);
    if (!target || acmStreamOpen(&acmStream, nullptr, const_cast<WAVEFORMATEX*>(audio), target, nullptr, 0, 0,
                                 ACM_STREAMOPENF_NONREALTIME) != 0) {
        acmStream = nullptr;
        if (audioFormatOwned) {
            delete[] static_cast<BYTE*>(audioOptions.lpFormat);
            audioOptions.lpFormat = nullptr;
            audioFormatOwned = false;
        }
        lastError = VfWError::CannotSetCompressor;
        return false;
    }
    audioCompressorSet = true;
    return true;
}

// The dialog is shown even when the stream cannot take a compressor; the
// choice is then dropped with the refusal's code, so that a compressor already
// set keeps its options.
bool VfWOutputAVIFile::chooseCompressor(void* parentWindow, bool isVideo)
{
    if (notOpened())
        return false;
    auto parent = static_cast<HWND>(parentWindow);
    if (!isVideo)
        return chooseAudioCompressor(parent);
    int refusal = compressorRefusal(true);
    AVICOMPRESSOPTIONS scratch = {};
    AVICOMPRESSOPTIONS* options = refusal ? &scratch : &videoOptions;
    *options = AVICOMPRESSOPTIONS();
    INT_PTR chosen = AVISaveOptions(parent, ICMF_CHOOSE_KEYFRAME | ICMF_CHOOSE_DATARATE, 1, &videoStream, &options);
    if (chosen != TRUE) {
        lastError = chosen == FALSE ? int(OutputError::DialogCancelled) : VfWError::CompressionDialogError;
        return false;
    }
    if (refusal) {
        AVISaveOptionsFree(1, &options);
        lastError = refusal;
        return false;
    }
    return setCompressor(true, &videoOptions);
}

bool VfWOutputAVIFile::chooseAudioCompressor(HWND parentWindow)
{
    DWORD size = 0;
    if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != 0 || size < sizeof(WAVEFORMATEX)) {
        lastError = VfWError::NoMaximumAudioBlockSize;
        return false;
    }
    std::unique_ptr<BYTE[]> format(new (std::nothrow) BYTE[size]());
    if (!format) {
        lastError = VfWError::OutOfMemory;
        return false;
    }
    ACMFORMATCHOOSEA choice = {};
    choice.cbStruct = sizeof(choice);
    choice.hwndOwner = parentWindow;
    choice.pwfx = reinterpret_cast<WAVEFORMATEX*>(format.get());
    choice.cbwfx = size;
    choice.fdwEnum = ACM_FORMATENUMF_CONVERT;
    choice.pwfxEnum = const_cast<WAVEFORMATEX*>(audio);
    MMRESULT result = acmFormatChooseA(&choice);
    if (result != MMSYSERR_NOERROR) {
        lastError = result == ACMERR_CANCELED ? int(OutputError::DialogCancelled)
            : result == MMSYSERR_NODRIVER ? VfWError::NoAudioCompressor : VfWError::CompressionDialogError;
        return false;
    }
    if (int refusal = compressorRefusal(false)) {
        lastError = refusal;
        return false;
    }
    audioOptions = AVICOMPRESSOPTIONS();
    audioOptions.fccType = streamtypeAUDIO;
    audioOptions.lpFormat = format.release();
    audioOptions.cbFormat = choice.cbwfx;
    return setCompressor(false, &audioOptions);
}

void VfWOutputAVIFile::configureCompressor(void* parentWindow, bool isVideo)
{
    lastError = VfWError::Success;
    if (!isVideo || notOpened())
        return;
    if (!videoCompressorSet) {
        lastError = OutputError::NoCompressorSelected;
        return;
    }
    HIC codec = ICOpen(ICTYPE_VIDEO, videoOptions.fccHandler, ICMODE_COMPRESS);
    if (!codec) {
        lastError = VfWError::CannotOpenCodec;
        return;
    }
    lastError = configureVideoCodec(codec, static_cast<HWND>(parentWindow));
    ICClose(codec);
}

// Shows the codec's own dialog and keeps the state block it leaves.
int VfWOutputAVIFile::configureVideoCodec(HIC codec, HWND parentWindow)
{
    if (static_cast<DWORD>(ICSetState(codec, videoOptions.lpParms, videoOptions.cbParms)) != videoOptions.cbParms)
        return VfWError::CorruptCompressorParameters;
    if (ICConfigure(codec, parentWindow) == ICERR_UNSUPPORTED)
        return VfWError::NoConfigurationDialog;
    LRESULT size = ICGetStateSize(codec);
    std::unique_ptr<BYTE[]> state(new (std::nothrow) BYTE[size > 0 ? size : 1]);
    if (!state)
        return VfWError::OutOfMemory;
    LRESULT got = ICGetState(codec, state.get(), static_cast<DWORD>(size));
    if (got != 0 && got != size)
        return VfWError::CannotAccessCodecParameters;
    if (parmsReplaced) {
        delete[] static_cast<BYTE*>(videoOptions.lpParms);
    } else {
        initialParms = videoOptions.lpParms;
        initialParmsSize = videoOptions.cbParms;
        parmsReplaced = true;
    }
    videoOptions.lpParms = state.release();
    videoOptions.cbParms = static_cast<DWORD>(size);
    return VfWError::Success;
}

// Gives videoOptions back the state block the codec had before the writer's
// configuration replaced it.
void VfWOutputAVIFile::restoreInitialParms()
{
    if (!parmsReplaced)
        return;
    delete[] static_cast<BYTE*>(videoOptions.lpParms);
    videoOptions.lpParms = initialParms;
    videoOptions.cbParms = initialParmsSize;
    initialParms = nullptr;
    parmsReplaced = false;
}

bool VfWOutputAVIFile::canRun()
{
    if (unusable)
        return false;
    return !(video && videoCompressed && !videoCompressorSet) && !(audio && audioCompressed && !audioCompressorSet);
}

bool VfWOutputAVIFile::start()
{
    if (!canRun()) {
        lastError = VfWError::NotConfigured;
        return false;
    }
    if (video) {
        int code = videoCompressed ? makeCompressedVideoStream()
            : AVIStreamSetFormat(videoStream, 0, const_cast<BITMAPINFOHEADER*>(&video->bmiHeader),
                                 video->bmiHeader.biSize) != AVIERR_OK ? VfWError::CannotSetFormat : VfWError::Success;
        if (code) {
            lastError = code;
            return false;
        }
    }
    if (audio) {
        const WAVEFORMATEX* stored = audioCompressed ? static_cast<WAVEFORMATEX*>(audioOptions.lpFormat) : audio;
        if (AVIStreamSetFormat(audioStream, 0, const_cast<WAVEFORMATEX*>(stored), formatLength(stored)) != AVIERR_OK) {
            lastError = VfWError::CannotSetFormat;
            return false;
        }
        audioBufferCapacity = audioCapacityFor(interleavingPeriod());
        if (audioCompressed) {
            releaseConversionBuffers();
            int code = measureSourceBlock();
            if (!code)
                code = prepareAudioConversion(acmCapacityNeeded());
            if (code) {
                lastError = code;
                return false;
            }
            conversionStarted = false;
        }
    }
    nextFrameNumber = 0;
    nextSampleNumber = 0;
    lastError = VfWError::Success;
    return true;
}

int VfWOutputAVIFile::makeCompressedVideoStream()
{
    if (AVIMakeCompressedStream(&compressedVideoStream, videoStream, &videoOptions, nullptr) != AVIERR_OK) {
        compressedVideoStream = nullptr;
        forgetVideoCompressor();
        return VfWError::CannotSetCompressor;
    }
    // The compressing stream takes the 40-byte header of the frames written to it.
    if (AVIStreamSetFormat(compressedVideoStream, 0, const_cast<BITMAPINFOHEADER*>(&video->bmiHeader),
                           sizeof(BITMAPINFOHEADER)) != AVIERR_OK)
        return VfWError::CannotSetFormat;
    return VfWError::Success;
}

// After a compressor that could not be used: a compressor can be chosen again.
void VfWOutputAVIFile::forgetVideoCompressor()
{
    restoreInitialParms();
    if (videoOptionsFromDialog) {
        AVICOMPRESSOPTIONS* options = &videoOptions;
        AVISaveOptionsFree(1, &options);
        videoOptionsFromDialog = false;
    }
    videoCompressorSet = false;
}

// The source bytes that make one block of the compressed format: a
// block-aligned conversion leaves less than this unconverted.
int VfWOutputAVIFile::measureSourceBlock()
{
    DWORD compressedBlock = static_cast<WAVEFORMATEX*>(audioOptions.lpFormat)->nBlockAlign;
    acmSourceBlock = 0;
    if (acmStreamSize(acmStream, compressedBlock ? compressedBlock : 1, &acmSourceBlock, ACM_STREAMSIZEF_DESTINATION)
        != 0)
        return VfWError::CannotInitAudioCompressor;
    if (acmSourceBlock < audio->nBlockAlign)
        acmSourceBlock = audio->nBlockAlign;
    return VfWError::Success;
}

// One interleaving period of source audio plus the rest a block-aligned
// conversion may leave.
DWORD VfWOutputAVIFile::acmCapacityNeeded()
{
    return static_cast<DWORD>(audioBufferCapacity) * audio->nBlockAlign + acmSourceBlock;
}

// Makes ACM buffers of `capacity` source bytes; what the old source buffer
// still holds moves over. The header takes the new buffers only once it is
// prepared, so that a failure leaves nothing to free twice.
int VfWOutputAVIFile::prepareAudioConversion(DWORD capacity)
{
    std::unique_ptr<BYTE[]> source(new (std::nothrow) BYTE[capacity ? capacity : 1]);
    if (!source)
        return VfWError::OutOfMemory;
    DWORD destinationSize = 0;
    if (acmStreamSize(acmStream, capacity, &destinationSize, ACM_STREAMSIZEF_SOURCE) != 0)
        return VfWError::CannotInitAudioCompressor;
    std::unique_ptr<BYTE[]> destination(new (std::nothrow) BYTE[destinationSize ? destinationSize : 1]);
    if (!destination)
        return VfWError::OutOfMemory;
    DWORD rest = acmHeader.pbSrc ? std::min(acmHeader.cbSrcLength, capacity) : 0;
    if (rest)
        std::memcpy(source.get(), acmHeader.pbSrc, rest);
    releaseConversionBuffers();
    ACMSTREAMHEADER prepared = ACMSTREAMHEADER();
    prepared.cbStruct = sizeof(ACMSTREAMHEADER);
    prepared.pbSrc = source.get();
    prepared.cbSrcLength = capacity;
    prepared.pbDst = destination.get();
    prepared.cbDstLength = destinationSize;
    acmHeader = prepared;
    if (acmStreamPrepareHeader(acmStream, &acmHeader, 0) != 0) {
        acmHeader = ACMSTREAMHEADER();
        acmHeader.cbStruct = sizeof(ACMSTREAMHEADER);
        return VfWError::CannotInitAudioCompressor;
    }
    source.release();
    destination.release();
    acmHeader.cbSrcLength = rest;
    acmSourceCapacity = capacity;
    return VfWError::Success;
}

// Unprepares the ACM header and frees its buffers.
void VfWOutputAVIFile::releaseConversionBuffers()
{
    if (!acmHeader.pbSrc)
        return;
    acmHeader.cbSrcLength = acmSourceCapacity;
    acmStreamUnprepareHeader(acmStream, &acmHeader, 0);
    delete[] acmHeader.pbSrc;
    delete[] acmHeader.pbDst;
    acmHeader = ACMSTREAMHEADER();
    acmHeader.cbStruct = sizeof(ACMSTREAMHEADER);
    acmSourceCapacity = 0;
}

bool VfWOutputAVIFile::write(IAVIStream* stream, long start, unsigned char* data, long count, long bytes, bool key,
                             long& next)
{
    if (!canRun()) {
        lastError = VfWError::NotConfigured;
        return false;
    }
    // Only a write that continues the audio stream may be moved to the
    // platform's own end.
    bool continues = stream == audioStream && start == (audioCompressed ? compressedPosition : nextSampleNumber);
    long end = start + count;
    do {
        if (!writeOnce(stream, start, data, count, bytes, key, continues)) {
            // What was stored still counts, so that the header says what is there.
            next = start;
            lastError = VfWError::WriteError;
            return false;
        }
        key = false;
    } while (start < end);
    next = start;
    return true;
}

// Writes what AVIFile takes in one call and advances past it. Wine's AVIFile
// numbers an audio stream's samples by chunk and refuses any other start:
// a write that continues the stream is retried at the platform's own end.
bool VfWOutputAVIFile::writeOnce(IAVIStream* stream, long& start, unsigned char*& data, long& count, long& bytes,
                                 bool key, bool continues)
{
    LONG samples = 0, written = 0;
    DWORD flags = key ? AVIIF_KEYFRAME : 0;
    HRESULT hr = AVIStreamWrite(stream, start, count, data, bytes, flags, &samples, &written);
    if (hr != AVIERR_OK && continues) {
        LONG platformEnd = AVIStreamStart(stream) + AVIStreamLength(stream);
        if (platformEnd >= 0 && platformEnd != start)
            hr = AVIStreamWrite(stream, platformEnd, count, data, bytes, flags, &samples, &written);
    }
    if (hr == AVIERR_OK && stream == compressedVideoStream)
        inputConsumed(count, bytes, samples, written);
    if (hr != AVIERR_OK || (samples == 0 && count != 0) || samples < 0 || samples > count || written < 0
        || written > bytes)
        return false;
    start += samples;
    data += written;
    count -= samples;
    bytes -= written;
    return true;
}

// A compressing stream reports the compressed bytes it stored; what counts
// here is how much of the caller's data it took. Wine's compressing stream
// also reports the two counts swapped, and reports nothing taken when the
// codec made an empty frame (a dropped or delayed one): the frame was taken.
void VfWOutputAVIFile::inputConsumed(long count, long bytes, LONG& samples, LONG& written)
{
    if (samples > count && written <= count)
        std::swap(samples, written);
    if (samples == 0 && count > 0)
        samples = 1;
    written = count > 0 ? static_cast<LONG>(static_cast<LONGLONG>(bytes) * samples / count) : 0;
}

bool VfWOutputAVIFile::writeFrame(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (!videoStream) {
        lastError = OutputError::NoVideoStream;
        return false;
    }
    if (bytes == -1) {
        const BITMAPINFOHEADER& h = video->bmiHeader;
        long row = ((h.biBitCount * h.biWidth * h.biPlanes / 8) + 3) & ~3;
        // Top-down frames (negative height, as ffmpeg stores raw video) have as many rows.
        bytes = h.biCompression == BI_RGB ? count * std::abs(h.biHeight) * row : count * static_cast<long>(h.biSizeImage);
    }
    IAVIStream* target = compressedVideoStream ? compressedVideoStream : videoStream;
    return write(target, first, data, count, bytes, key, nextFrameNumber);
}

bool VfWOutputAVIFile::writeSample(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (!audioStream) {
        lastError = OutputError::NoAudioStream;
        return false;
    }
    if (bytes == -1)
        bytes = count * audio->nBlockAlign;
    if (audioCompressed)
        return compressAndWrite(data, bytes, key);
    if (first > nextSampleNumber && !closeGap(first, key))
        return false;
    return write(audioStream, first, data, count, bytes, key, nextSampleNumber);
}

// Audio after a gap: PCM gets silence of the gap's length, so that the
// stream stays in sync and its length is what it holds; compressed blocks
// have no silence to fill with and are refused.
bool VfWOutputAVIFile::closeGap(long first, bool key)
{
    if (audioCountsBlocks()) {
        lastError = VfWError::WriteError;
        return false;
    }
    long pieceSamples = std::min<long>(first - nextSampleNumber, kSilenceSamples);
    std::unique_ptr<unsigned char[]> silence(new (std::nothrow) unsigned char[pieceSamples * audio->nBlockAlign]);
    if (!silence) {
        lastError = VfWError::OutOfMemory;
        return false;
    }
    std::memset(silence.get(), silenceByte(), pieceSamples * audio->nBlockAlign);
    while (nextSampleNumber < first) {
        long samples = std::min<long>(first - nextSampleNumber, pieceSamples);
        if (!write(audioStream, nextSampleNumber, silence.get(), samples, samples * audio->nBlockAlign, key,
                   nextSampleNumber))
            return false;
    }
    return true;
}

// The byte of silent PCM: 8-bit samples are unsigned.
unsigned char VfWOutputAVIFile::silenceByte()
{
    return audio->wBitsPerSample == 8 ? 0x80 : 0;
}

// Appends to the ACM source buffer, converts whole blocks and writes what came
// out; the unconverted rest waits for the next call.
bool VfWOutputAVIFile::compressAndWrite(unsigned char* data, long bytes, bool key)
{
    if (!conversionStarted)
        compressedPosition = 0;
    if (bytes < 0 || acmHeader.cbSrcLength + static_cast<DWORD>(bytes) > acmSourceCapacity) {
        lastError = VfWError::AudioCompressionOverflow;
        return false;
    }
    std::memcpy(acmHeader.pbSrc + acmHeader.cbSrcLength, data, bytes);
    acmHeader.cbSrcLength += bytes;
    return convertAndWrite(ACM_STREAMCONVERTF_BLOCKALIGN, key);
}

// Converts the source buffer with `flags` (and the start flag for the first
// conversion), keeps the unconverted rest and writes the compressed blocks.
bool VfWOutputAVIFile::convertAndWrite(DWORD flags, bool key)
{
    // Wine's IMA ADPCM encoder never writes the reserved byte of a mono
    // block header, which must be 0 (other decoders, ffmpeg's among them,
    // refuse the block otherwise): the buffer is cleared before each run.
    std::memset(acmHeader.pbDst, 0, acmHeader.cbDstLength);
    if (acmStreamConvert(acmStream, &acmHeader, flags | (conversionStarted ? 0 : ACM_STREAMCONVERTF_START)) != 0) {
        lastError = VfWError::AudioCompressionFailure;
        return false;
    }
    conversionStarted = true;
    DWORD used = acmHeader.cbSrcLengthUsed <= acmHeader.cbSrcLength ? acmHeader.cbSrcLengthUsed : acmHeader.cbSrcLength;
    std::memmove(acmHeader.pbSrc, acmHeader.pbSrc + used, acmHeader.cbSrcLength - used);
    acmHeader.cbSrcLength -= used;
    DWORD produced = acmHeader.cbDstLengthUsed;
    if (produced == 0)
        return true;
    bool written = write(audioStream, compressedPosition, acmHeader.pbDst, compressedBlocks(produced),
                         static_cast<long>(produced), key, nextSampleNumber);
    compressedPosition = nextSampleNumber;
    return written;
}

// Whole blocks of the compressed format in `bytes` produced by ACM.
long VfWOutputAVIFile::compressedBlocks(DWORD bytes)
{
    return static_cast<long>(bytes / static_cast<WAVEFORMATEX*>(audioOptions.lpFormat)->nBlockAlign);
}

// Converts (when `writeRest`) and writes what the ACM source buffer still
// holds, then releases the conversion. The rest is padded with silence to a
// whole source block: encoders that ignore the end flag would drop it.
void VfWOutputAVIFile::finishAudioConversion(bool writeRest)
{
    if (!acmStream)
        return;
    if (writeRest && acmHeader.pbSrc && acmHeader.cbSrcLength > 0) {
        DWORD padded = std::max(acmHeader.cbSrcLength, std::min(acmSourceBlock, acmSourceCapacity));
        std::memset(acmHeader.pbSrc + acmHeader.cbSrcLength, silenceByte(), padded - acmHeader.cbSrcLength);
        acmHeader.cbSrcLength = padded;
        convertAndWrite(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_END, false);
    }
    releaseConversionBuffers();
    acmStreamClose(acmStream, 0);
    acmStream = nullptr;
}

void VfWOutputAVIFile::releaseStreams()
{
    for (IAVIStream** stream : {&compressedVideoStream, &audioStream, &videoStream}) {
        if (*stream)
            AVIStreamRelease(*stream);
        *stream = nullptr;
    }
    if (aviFile)
        AVIFileRelease(aviFile);
    aviFile = nullptr;
}

// Releases the file and sets its audio header to what is stored (Wine's
// AVIFile writes its own chunk count and time base).
void VfWOutputAVIFile::finishFile()
{
    bool hadAudio = audioStream != nullptr && aviFile != nullptr;
    AudioHeaderFields header = {static_cast<DWORD>(audioCompressed ? compressedPosition : nextSampleNumber), 0, 0};
    const auto* stored = audioCompressed ? static_cast<const WAVEFORMATEX*>(audioOptions.lpFormat)
        : audioCountsBlocks() ? audio : nullptr;
    if (stored) {
        header.scale = stored->nBlockAlign;
        header.rate = stored->nAvgBytesPerSec;
    }
    releaseStreams();
    if (hadAudio && path)
        repairAudioHeader(path.get(), header);
}

bool VfWOutputAVIFile::close()
{
    finishAudioConversion(true);
    bool opened = aviFile != nullptr && path && !unusable;
    finishFile();
    unusable = true;
    // A write that failed unseen leaves the file short of its own chunks.
    if (opened && !AviFileCheck::holdsItsRiffChunks(path.get())) {
        lastError = VfWError::WriteError;
        return false;
    }
    lastError = VfWError::Success;
    return true;
}

// One interleaving period of audio; the ACM buffers grow with it once they
// exist, so that a longer period after start still converts.
void VfWOutputAVIFile::updateAudioBufferCapacity()
{
    audioBufferCapacity = audioCapacityFor(interleavingPeriod());
    if (acmHeader.pbSrc && acmCapacityNeeded() > acmSourceCapacity) {
        if (int code = prepareAudioConversion(acmCapacityNeeded()))
            lastError = code;
    }
}

LONGLONG VfWOutputAVIFile::interleavingPeriod()
{
    lastError = VfWError::Success;
    if (canRun() && video && audio && audioCompressed && (audioOptions.dwFlags & kInterleaveFlag)
        && audioOptions.dwInterleaveEvery != 0)
        return audioOptions.dwInterleaveEvery * video->AvgTimePerFrame;
    return period;
}

void VfWOutputAVIFile::configureAVI(void* parentWindow)
{
    if (!video || !audio) {
        lastError = VfWError::NotInterleaved;
        return;
    }
    LONGLONG value = interleavingPeriod();
    INT_PTR result = showInterleavingPeriodDialog(static_cast<HWND>(parentWindow), value, maximumPeriod());
    if (result == -1 || result == VfWError::CannotAddDialogProperty) {
        lastError = result == -1 ? VfWError::CannotShowDialog : VfWError::CannotAddDialogProperty;
        return;
    }
    if (result != IDOK)
        return;
    if (value < video->AvgTimePerFrame)
        value = video->AvgTimePerFrame;
    if (canRun() && audioCompressed && (audioOptions.dwFlags & kInterleaveFlag))
        audioOptions.dwInterleaveEvery = static_cast<DWORD>(std::min<LONGLONG>(value / video->AvgTimePerFrame, 0xFFFFFFFFLL));
    else
        period = value;
    updateAudioBufferCapacity();
}
