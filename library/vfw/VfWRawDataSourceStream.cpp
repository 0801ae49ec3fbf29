#include "VfWRawDataSourceStream.h"

#include <cstring>
#include <new>
#include <uuids.h>

#include "../core/ErrorCodes.h"
#include "../directshow/MediaType.h"
#include "../probe/MediaContainer.h"
#include "VfWFrameLimits.h"

namespace {

// Subtype of an uncompressed layout, or GUID_NULL when it has none. 16-bit
// BI_RGB stores no masks: Windows reads it as 5-5-5.
GUID uncompressedSubtype(const BITMAPINFOHEADER& header, const BYTE* stored, LONG storedSize)
{
    switch (header.biBitCount) {
    case 1: return MEDIASUBTYPE_RGB1;
    case 4: return MEDIASUBTYPE_RGB4;
    case 8: return MEDIASUBTYPE_RGB8;
    case 24: return MEDIASUBTYPE_RGB24;
    case 32: return MEDIASUBTYPE_RGB32;
    case 16:
        break;
    default:
        return GUID_NULL;
    }
    if (header.biCompression == BI_RGB)
        return MEDIASUBTYPE_RGB555;
    // 64-bit: a stored biSize near 2^32 must not wrap round to a small offset.
    ULONGLONG greenOffset = static_cast<ULONGLONG>(header.biSize) + 4;
    if (header.biSize < sizeof(BITMAPINFOHEADER) || greenOffset + 4 > static_cast<ULONGLONG>(storedSize))
        return GUID_NULL;
    DWORD green;
    std::memcpy(&green, stored + greenOffset, sizeof(green));
    if (green == 0x3E0)
        return MEDIASUBTYPE_RGB555;
    if (green == 0x7E0)
        return MEDIASUBTYPE_RGB565;
    return GUID_NULL;
}

DWORD rowBits(const BITMAPINFOHEADER& header)
{
    return (static_cast<DWORD>(header.biWidth) * header.biBitCount + 31) & ~31u;
}

// A read buffer of 2 GiB or more is refused rather than allocated.
constexpr DWORD kMaxReadBuffer = 0x7FFFFFFF;

} // namespace

VfWRawDataSourceStream::VfWRawDataSourceStream()
    : readBufferSize(0)
{
}

VfWRawDataSourceStream::~VfWRawDataSourceStream() = default;

VfWRawDataSourceStream* VfWRawDataSourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    return opened(new (std::nothrow) VfWRawDataSourceStream(), n,
                  [&](VfWRawDataSourceStream& source) { return source.openRaw(fileName, video, streamIndex); });
}

int VfWRawDataSourceStream::openRaw(char* fileName, bool video, int streamIndex)
{
    AVISTREAMINFOA info;
    if (int code = openStream(fileName, video ? streamtypeVIDEO : streamtypeAUDIO, streamIndex, info))
        return code;
    std::unique_ptr<BYTE[]> stored;
    LONG storedSize;
    if (int code = readFormat(stored, storedSize, 0))
        return code;
    length = streamLength();
    if (length == -1)
        return VfWError::UndefinedLength;
    int code = video ? buildVideoType(stored.get(), storedSize, info) : buildAudioType(stored.get(), storedSize);
    if (code)
        return code;
    if (info.dwSuggestedBufferSize < kMaxReadBuffer)
        readBuffer.reset(new (std::nothrow) BYTE[info.dwSuggestedBufferSize]);
    if (!readBuffer) {
        FreeMediaType(mediaType);
        return VfWError::OutOfMemory;
    }
    readBufferSize = static_cast<LONG>(info.dwSuggestedBufferSize);
    // Usable from here on, even when no key sample can be found.
    unusable = false;
    lastError = VfWError::Success;
    _firstKeySample = findFirstKeySample();
    if (_firstKeySample != -1 && fixedSampleSize() && !readsData(_firstKeySample)) {
        unusable = true;
        return VfWError::UnusableRawFormat;
    }
    return lastError;
}

int VfWRawDataSourceStream::buildVideoType(const BYTE* stored, LONG storedSize, const AVISTREAMINFOA& info)
{
    if (storedSize < static_cast<LONG>(sizeof(BITMAPINFOHEADER)))
        return VfWError::NoStreamFormat;
    const auto& header = *reinterpret_cast<const BITMAPINFOHEADER*>(stored);
    if (!acceptableFrameSize(header))
        return VfWError::NoStreamFormat;
    bool uncompressed = header.biCompression == BI_RGB || header.biCompression == BI_BITFIELDS;
    GUID subtype = uncompressed ? uncompressedSubtype(header, stored, storedSize) : FourCCSubtype(header.biCompression);
    if (IsEqualGUID(subtype, GUID_NULL))
        return VfWError::UnusableRawFormat;

    mediaType = AM_MEDIA_TYPE();
    mediaType.majortype = MEDIATYPE_Video;
    mediaType.subtype = subtype;
    mediaType.bFixedSizeSamples = uncompressed;
    mediaType.bTemporalCompression = !uncompressed;
    mediaType.lSampleSize = uncompressed ? static_cast<ULONG>(imageBytes(header.biWidth, header.biHeight, header.biBitCount))
                                        : header.biSizeImage;
    mediaType.formattype = FORMAT_VideoInfo;

    const ULONG headSize = offsetof(VIDEOINFOHEADER, bmiHeader);
    auto* format = static_cast<BYTE*>(CoTaskMemAlloc(headSize + storedSize));
    if (!format)
        return VfWError::OutOfMemory;
    mediaType.pbFormat = format;
    mediaType.cbFormat = headSize + storedSize;
    std::memset(format, 0, headSize);
    std::memcpy(format + headSize, stored, storedSize);

    auto* head = reinterpret_cast<VIDEOINFOHEADER*>(format);
    // Unsigned 32-bit arithmetic, as stored headers have always been read.
    DWORD rate = info.dwRate, scale = info.dwScale;
    DWORD bits = header.biCompression == BI_RGB ? rowBits(header) * static_cast<DWORD>(header.biHeight)
                                                : header.biSizeImage * 8;
    head->dwBitRate = scale ? bits * rate / scale : 0;
    head->AvgTimePerFrame = rate ? static_cast<LONGLONG>(scale) * 10000000LL / rate : 0;
    return VfWError::Success;
}

int VfWRawDataSourceStream::buildAudioType(const BYTE* stored, LONG storedSize)
{
    // A stored PCM format may be 16 bytes: complete it to a WAVEFORMATEX.
    if (storedSize < static_cast<LONG>(sizeof(WAVEFORMAT)))
        return VfWError::NoStreamFormat;
    size_t size = storedSize < static_cast<LONG>(sizeof(WAVEFORMATEX)) ? sizeof(WAVEFORMATEX) : storedSize;
    std::unique_ptr<BYTE[]> format(new (std::nothrow) BYTE[size]());
    if (!format)
        return VfWError::OutOfMemory;
    std::memcpy(format.get(), stored, storedSize);
    HRESULT hr = CreateAudioMediaType(reinterpret_cast<WAVEFORMATEX*>(format.get()), size, &mediaType, TRUE);
    if (hr == E_OUTOFMEMORY)
        return VfWError::OutOfMemory;
    return FAILED(hr) ? VfWError::UnusableRawFormat : VfWError::Success;
}

// The first key sample that holds data; code 15 or 19 and -1 when there is
// none. The search ends at the stream's end and wherever the platform finds
// no further key sample.
long VfWRawDataSourceStream::findFirstKeySample()
{
    LONG s = 0;
    if (findSample(0, FIND_PREV | FIND_KEY) != 0)
        s = findSample(1, FIND_NEXT | FIND_KEY);
    for (; s != -1 && s < length; s = nextKeySample(s)) {
        LONG bytes = 0;
        if (AVIStreamRead(stream, platformPosition(s), 1, nullptr, 0, &bytes, nullptr) != AVIERR_OK) {
            lastError = VfWError::ReadError;
            return -1;
        }
        if (bytes != 0)
            return s;
    }
    lastError = VfWError::NoNonEmptyKey;
    return -1;
}

// A stored format that does not match the stored samples (a block size
// larger than the samples) reads as nothing.
bool VfWRawDataSourceStream::readsData(LONG s)
{
    LONG bytes = 0, samples = 0;
    return AVIStreamRead(stream, platformPosition(s), 1, readBuffer.get(), readBufferSize, &bytes, &samples) == AVIERR_OK
        && bytes > 0 && bytes <= readBufferSize;
}

// The key sample after `s`, or -1. Samples of a fixed size are all key
// samples of that size: when one reads as empty, all do.
LONG VfWRawDataSourceStream::nextKeySample(LONG s)
{
    if (fixedSampleSize())
        return -1;
    LONG next = findSample(s + 1, FIND_NEXT | FIND_KEY);
    return next > s ? next : -1;
}

unsigned char* VfWRawDataSourceStream::getData(long& sample, long& samplesRead, long& bytesRead, bool& key)
{
    if (notOpened())
        return nullptr;
    if (sample < 0 || sample >= length) {
        lastError = VfWError::OutOfRange;
        return nullptr;
    }
    if (sample < _firstKeySample) {
        lastError = VfWError::DataNotFound;
        return nullptr;
    }
    LONG s = findDataSample(sample, key);
    if (s == -1)
        return nullptr;
    LONG bytes = 0, samples = 0;
    if (AVIStreamRead(stream, platformPosition(s), AVISTREAMREAD_CONVENIENT, readBuffer.get(), readBufferSize, &bytes,
                      &samples) != AVIERR_OK
        || bytes < 0 || bytes > readBufferSize) {
        lastError = VfWError::ReadError;
        return nullptr;
    }
    bytesRead = bytes;
    samplesRead = samples;
    sample = s;
    key = findSample(s, FIND_PREV | FIND_KEY) == s;
    return readBuffer.get();
}

// The sample getData reads for `sample`; sets the code, -1 when there is none.
long VfWRawDataSourceStream::findDataSample(long sample, bool key)
{
    if (key) {
        LONG s = findSample(sample, FIND_PREV | FIND_KEY);
        lastError = s == -1 ? VfWError::NoPrecedingKey : VfWError::Success;
        return s;
    }
    LONG s = findSample(sample, FIND_PREV | FIND_ANY);
    if (s != -1) {
        lastError = VfWError::Success;
        return s;
    }
    s = findSample(sample + 1, FIND_NEXT | FIND_ANY);
    lastError = s == -1 ? VfWError::NoFrameFound : VfWError::NextFrameReturned;
    return s;
}

VIDEOINFOHEADER* VfWRawDataSourceStream::videoInfo(VIDEOINFOHEADER& info)
{
    if (notOpened())
        return nullptr;
    if (!MediaContainer::isVideo(mediaType) || mediaType.cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    std::memcpy(&info, mediaType.pbFormat, sizeof(VIDEOINFOHEADER));
    lastError = VfWError::Success;
    return &info;
}
