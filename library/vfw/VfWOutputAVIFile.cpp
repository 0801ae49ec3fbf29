#include "VfWOutputAVIFile.h"

#include <cstring>
#include <initializer_list>
#include <new>
#include <utility>

#include "AviHeaderRepair.h"
#include "InterleavingPeriodDialog.h"

namespace {

constexpr LONGLONG kDefaultPeriod = 7500000;
constexpr DWORD kInterleaveFlag = AVICOMPRESSF_INTERLEAVE;

// Whole frames per second, nearest; an exact half stays down.
DWORD wholeFrameRate(LONGLONG avgTimePerFrame)
{
    LONGLONG rate = 10000000 / avgTimePerFrame;
    if (10000000 % avgTimePerFrame > avgTimePerFrame / 2)
        rate += 1;
    return static_cast<DWORD>(rate);
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
      parmsReplaced(false)
{
    acmHeader.cbStruct = sizeof(ACMSTREAMHEADER);
}

VfWOutputAVIFile::~VfWOutputAVIFile()
{
    finishAudioConversion(false);
    releaseStreams();
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
        return 21;
    }
    size_t nameSize = std::strlen(fileName) + 1;
    path.reset(new (std::nothrow) char[nameSize]);
    if (path)
        std::memcpy(path.get(), fileName, nameSize);
    if (video) {
        // Without a frame period there is no frame rate to store.
        if (video->AvgTimePerFrame <= 0)
            return 22;
        AVISTREAMINFOA info = {};
        info.fccType = streamtypeVIDEO;
        info.fccHandler = video->bmiHeader.biCompression;
        info.dwScale = 1;
        info.dwRate = wholeFrameRate(video->AvgTimePerFrame);
        info.rcFrame = video->rcTarget;
        lstrcpyA(info.szName, "video stream");
        if (AVIFileCreateStreamA(aviFile, &videoStream, &info) != AVIERR_OK) {
            videoStream = nullptr;
            return 22;
        }
    }
    if (audio) {
        AVISTREAMINFOA info = {};
        info.fccType = streamtypeAUDIO;
        info.dwScale = audio->nBlockAlign;
        info.dwRate = audio->nSamplesPerSec * audio->nBlockAlign;
        lstrcpyA(info.szName, "audio stream");
        if (AVIFileCreateStreamA(aviFile, &audioStream, &info) != AVIERR_OK) {
            audioStream = nullptr;
            return 23;
        }
    }
    unusable = false;
    return 0;
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
    lastError = 0;
    if (unusable)
        return false;
    return isVideo ? video && videoCompressed && !videoCompressorSet : audio && audioCompressed && !audioCompressorSet;
}

// Why a compressor cannot be set for the stream now: 200/201, 204, 205, or 0.
int VfWOutputAVIFile::compressorRefusal(bool isVideo)
{
    if (isVideo)
        return !video ? 200 : !videoCompressed ? 204 : videoCompressorSet ? 205 : 0;
    return !audio ? 201 : !audioCompressed ? 204 : audioCompressorSet ? 205 : 0;
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
    lastError = 0;
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
        lastError = 25;
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
        lastError = chosen == FALSE ? 206 : 26;
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
        lastError = 34;
        return false;
    }
    std::unique_ptr<BYTE[]> format(new (std::nothrow) BYTE[size]());
    if (!format) {
        lastError = 2;
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
        lastError = result == ACMERR_CANCELED ? 206 : result == MMSYSERR_NODRIVER ? 35 : 26;
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
    lastError = 0;
    if (!isVideo || notOpened())
        return;
    if (!videoCompressorSet) {
        lastError = 207;
        return;
    }
    HIC codec = ICOpen(ICTYPE_VIDEO, videoOptions.fccHandler, ICMODE_COMPRESS);
    if (!codec) {
        lastError = 27;
        return;
    }
    lastError = configureVideoCodec(codec, static_cast<HWND>(parentWindow));
    ICClose(codec);
}

// Shows the codec's own dialog and keeps the state block it leaves.
int VfWOutputAVIFile::configureVideoCodec(HIC codec, HWND parentWindow)
{
    if (static_cast<DWORD>(ICSetState(codec, videoOptions.lpParms, videoOptions.cbParms)) != videoOptions.cbParms)
        return 37;
    if (ICConfigure(codec, parentWindow) == ICERR_UNSUPPORTED)
        return 29;
    LRESULT size = ICGetStateSize(codec);
    std::unique_ptr<BYTE[]> state(new (std::nothrow) BYTE[size > 0 ? size : 1]);
    if (!state)
        return 2;
    LRESULT got = ICGetState(codec, state.get(), static_cast<DWORD>(size));
    if (got != 0 && got != size)
        return 28;
    if (parmsReplaced) {
        delete[] static_cast<BYTE*>(videoOptions.lpParms);
    } else {
        initialParms = videoOptions.lpParms;
        initialParmsSize = videoOptions.cbParms;
        parmsReplaced = true;
    }
    videoOptions.lpParms = state.release();
    videoOptions.cbParms = static_cast<DWORD>(size);
    return 0;
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
        lastError = 30;
        return false;
    }
    if (video) {
        int code = videoCompressed ? makeCompressedVideoStream()
            : AVIStreamSetFormat(videoStream, 0, const_cast<BITMAPINFOHEADER*>(&video->bmiHeader),
                                 video->bmiHeader.biSize) != AVIERR_OK ? 24 : 0;
        if (code) {
            lastError = code;
            return false;
        }
    }
    if (audio) {
        const WAVEFORMATEX* stored = audioCompressed ? static_cast<WAVEFORMATEX*>(audioOptions.lpFormat) : audio;
        if (AVIStreamSetFormat(audioStream, 0, const_cast<WAVEFORMATEX*>(stored), formatLength(stored)) != AVIERR_OK) {
            lastError = 24;
            return false;
        }
        updateAudioBufferCapacity();
        if (audioCompressed) {
            if (int code = prepareAudioConversion()) {
                lastError = code;
                return false;
            }
        }
    }
    nextFrameNumber = 0;
    nextSampleNumber = 0;
    lastError = 0;
    return true;
}

int VfWOutputAVIFile::makeCompressedVideoStream()
{
    if (AVIMakeCompressedStream(&compressedVideoStream, videoStream, &videoOptions, nullptr) != AVIERR_OK) {
        compressedVideoStream = nullptr;
        forgetVideoCompressor();
        return 25;
    }
    // The compressing stream takes the 40-byte header of the frames written to it.
    if (AVIStreamSetFormat(compressedVideoStream, 0, const_cast<BITMAPINFOHEADER*>(&video->bmiHeader),
                           sizeof(BITMAPINFOHEADER)) != AVIERR_OK)
        return 24;
    return 0;
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

int VfWOutputAVIFile::prepareAudioConversion()
{
    acmSourceCapacity = static_cast<DWORD>(audioBufferCapacity) * audio->nBlockAlign;
    std::unique_ptr<BYTE[]> source(new (std::nothrow) BYTE[acmSourceCapacity ? acmSourceCapacity : 1]);
    if (!source)
        return 2;
    DWORD destinationSize = 0;
    if (acmStreamSize(acmStream, acmSourceCapacity, &destinationSize, ACM_STREAMSIZEF_SOURCE) != 0)
        return 38;
    std::unique_ptr<BYTE[]> destination(new (std::nothrow) BYTE[destinationSize ? destinationSize : 1]);
    if (!destination)
        return 2;
    acmHeader = ACMSTREAMHEADER();
    acmHeader.cbStruct = sizeof(ACMSTREAMHEADER);
    acmHeader.pbSrc = source.get();
    acmHeader.cbSrcLength = acmSourceCapacity;
    acmHeader.pbDst = destination.get();
    acmHeader.cbDstLength = destinationSize;
    if (acmStreamPrepareHeader(acmStream, &acmHeader, 0) != 0)
        return 38;
    source.release();
    destination.release();
    acmHeader.cbSrcLength = 0;
    conversionStarted = false;
    return 0;
}

bool VfWOutputAVIFile::write(IAVIStream* stream, long start, unsigned char* data, long count, long bytes, bool key,
                             long& next)
{
    if (!canRun()) {
        lastError = 30;
        return false;
    }
    long end = start + count;
    do {
        if (!writeOnce(stream, start, data, count, bytes, key)) {
            lastError = 36;
            return false;
        }
        key = false;
    } while (start < end);
    next = start;
    return true;
}

// Writes what AVIFile takes in one call and advances past it. Wine's AVIFile
// numbers an audio stream's samples by chunk and refuses any other start:
// such a write is retried at the platform's own end of the stream.
bool VfWOutputAVIFile::writeOnce(IAVIStream* stream, long& start, unsigned char*& data, long& count, long& bytes,
                                 bool key)
{
    LONG samples = 0, written = 0;
    DWORD flags = key ? AVIIF_KEYFRAME : 0;
    HRESULT hr = AVIStreamWrite(stream, start, count, data, bytes, flags, &samples, &written);
    if (hr != AVIERR_OK && stream == audioStream) {
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
// also reports the two counts swapped.
void VfWOutputAVIFile::inputConsumed(long count, long bytes, LONG& samples, LONG& written)
{
    if (samples > count && written <= count)
        std::swap(samples, written);
    written = count > 0 ? static_cast<LONG>(static_cast<LONGLONG>(bytes) * samples / count) : 0;
}

bool VfWOutputAVIFile::writeFrame(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (!videoStream) {
        lastError = 200;
        return false;
    }
    if (bytes == -1) {
        const BITMAPINFOHEADER& h = video->bmiHeader;
        long row = ((h.biBitCount * h.biWidth * h.biPlanes / 8) + 3) & ~3;
        bytes = h.biCompression == BI_RGB ? count * h.biHeight * row : count * static_cast<long>(h.biSizeImage);
    }
    IAVIStream* target = compressedVideoStream ? compressedVideoStream : videoStream;
    return write(target, first, data, count, bytes, key, nextFrameNumber);
}

bool VfWOutputAVIFile::writeSample(long first, unsigned char* data, long count, long bytes, bool key)
{
    if (!audioStream) {
        lastError = 201;
        return false;
    }
    if (bytes == -1)
        bytes = count * audio->nBlockAlign;
    if (!audioCompressed)
        return write(audioStream, first, data, count, bytes, key, nextSampleNumber);
    return compressAndWrite(data, bytes, key);
}

// Appends to the ACM source buffer, converts whole blocks and writes what came
// out; the unconverted rest waits for the next call.
bool VfWOutputAVIFile::compressAndWrite(unsigned char* data, long bytes, bool key)
{
    if (!conversionStarted)
        compressedPosition = 0;
    if (bytes < 0 || acmHeader.cbSrcLength + static_cast<DWORD>(bytes) > acmSourceCapacity) {
        lastError = 40;
        return false;
    }
    std::memcpy(acmHeader.pbSrc + acmHeader.cbSrcLength, data, bytes);
    acmHeader.cbSrcLength += bytes;
    DWORD flags = ACM_STREAMCONVERTF_BLOCKALIGN | (conversionStarted ? 0 : ACM_STREAMCONVERTF_START);
    if (acmStreamConvert(acmStream, &acmHeader, flags) != 0) {
        lastError = 39;
        return false;
    }
    conversionStarted = true;
    DWORD used = acmHeader.cbSrcLengthUsed <= acmHeader.cbSrcLength ? acmHeader.cbSrcLengthUsed : acmHeader.cbSrcLength;
    std::memmove(acmHeader.pbSrc, acmHeader.pbSrc + used, acmHeader.cbSrcLength - used);
    acmHeader.cbSrcLength -= used;
    DWORD produced = acmHeader.cbDstLengthUsed;
    if (produced == 0)
        return true;
    long blocks = compressedBlocks(produced);
    bool written = write(audioStream, compressedPosition, acmHeader.pbDst, blocks, static_cast<long>(produced), key,
                         nextSampleNumber);
    compressedPosition += blocks;
    return written;
}

// Whole blocks of the compressed format in `bytes` produced by ACM.
long VfWOutputAVIFile::compressedBlocks(DWORD bytes)
{
    return static_cast<long>(bytes / static_cast<WAVEFORMATEX*>(audioOptions.lpFormat)->nBlockAlign);
}

// Converts (when `writeRest`) and writes what the ACM source buffer still
// holds, then releases the conversion.
void VfWOutputAVIFile::finishAudioConversion(bool writeRest)
{
    if (!acmStream)
        return;
    if (acmHeader.pbSrc) {
        if (writeRest && acmStreamConvert(acmStream, &acmHeader, ACM_STREAMCONVERTF_END) == 0
            && acmHeader.cbDstLengthUsed > 0) {
            DWORD produced = acmHeader.cbDstLengthUsed;
            long blocks = compressedBlocks(produced);
            long next = 0;
            if (write(audioStream, compressedPosition, acmHeader.pbDst, blocks, static_cast<long>(produced), false, next))
                compressedPosition += blocks;
        }
        acmHeader.cbSrcLength = acmSourceCapacity;
        acmStreamUnprepareHeader(acmStream, &acmHeader, 0);
        delete[] acmHeader.pbSrc;
        delete[] acmHeader.pbDst;
        acmHeader.pbSrc = nullptr;
        acmHeader.pbDst = nullptr;
    }
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

bool VfWOutputAVIFile::close()
{
    bool hadAudio = audioStream != nullptr && aviFile != nullptr;
    finishAudioConversion(true);
    AudioHeaderFields header = {static_cast<DWORD>(audioCompressed ? compressedPosition : nextSampleNumber), 0, 0};
    if (audioCompressed && audioOptions.lpFormat) {
        const auto* stored = static_cast<const WAVEFORMATEX*>(audioOptions.lpFormat);
        header.scale = stored->nBlockAlign;
        header.rate = stored->nAvgBytesPerSec;
    }
    releaseStreams();
    if (hadAudio && path)
        repairAudioHeader(path.get(), header);
    unusable = true;
    lastError = 0;
    return true;
}

// One interleaving period of audio samples.
void VfWOutputAVIFile::updateAudioBufferCapacity()
{
    audioBufferCapacity = static_cast<long>(interleavingPeriod() * audio->nSamplesPerSec / 10000000);
}

LONGLONG VfWOutputAVIFile::interleavingPeriod()
{
    lastError = 0;
    if (canRun() && video && audio && audioCompressed && (audioOptions.dwFlags & kInterleaveFlag)
        && audioOptions.dwInterleaveEvery != 0)
        return audioOptions.dwInterleaveEvery * video->AvgTimePerFrame;
    return period;
}

void VfWOutputAVIFile::configureAVI(void* parentWindow)
{
    if (!video || !audio) {
        lastError = 31;
        return;
    }
    LONGLONG value = interleavingPeriod();
    INT_PTR result = showInterleavingPeriodDialog(static_cast<HWND>(parentWindow), value);
    if (result == -1 || result == 33) {
        lastError = result == -1 ? 32 : 33;
        return;
    }
    if (result != IDOK)
        return;
    if (value < video->AvgTimePerFrame)
        value = video->AvgTimePerFrame;
    if (canRun() && audioCompressed && (audioOptions.dwFlags & kInterleaveFlag))
        audioOptions.dwInterleaveEvery = static_cast<DWORD>(value / video->AvgTimePerFrame);
    else
        period = value;
    updateAudioBufferCapacity();
}
