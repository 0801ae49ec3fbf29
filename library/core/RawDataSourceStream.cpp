#include "RawDataSourceStream.h"

#include "../directshow/DSRawDataSourceStream.h"
#include "../vfw/VfWRawDataSourceStream.h"
#include "BackendChoice.h"
#include "WaitDialog.h"

#include "../directshow/MediaType.h"

RawDataSourceStream::RawDataSourceStream()
    : mediaType(), _firstKeySample(0)
{
}

// The format block exists only once an open has built the media type.
RawDataSourceStream::~RawDataSourceStream()
{
    FreeMediaType(mediaType);
}

bool RawDataSourceStream::isRawData()
{
    return true;
}

AM_MEDIA_TYPE* RawDataSourceStream::format()
{
    lastError = unusable ? 1 : 0;
    return &mediaType;
}

long RawDataSourceStream::firstKeySample()
{
    lastError = unusable ? 1 : 0;
    return _firstKeySample;
}

RawDataSourceStream* RawDataSourceStream::open(char* fileName, bool video, bool useDirectShow, int streamIndex,
                                               TrelixNotification* n)
{
    if (useDirectShow)
        return DSRawDataSourceStream::open(fileName, video, streamIndex, n);
    return VfWRawDataSourceStream::open(fileName, video, streamIndex, n);
}

RawDataSourceStream* RawDataSourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    return openAutomatically<RawDataSourceStream>(
        [&] { return open(fileName, video, false, streamIndex, n); },
        [&] { return open(fileName, video, true, streamIndex, n); });
}

unsigned char* RawDataSourceStream::getData(int options, void* parentWindow, long& sample, long& samplesRead,
                                            long& bytesRead, bool& key, char* title)
{
    if (notOpened())
        return nullptr;
    if (!usesDirectShow())
        return getData(sample, samplesRead, bytesRead, key);
    WaitRequest r;
    if (!runStreamOperation(r, *this, options, parentWindow, title, WaitGetData, reinterpret_cast<LONG_PTR>(&sample),
                            reinterpret_cast<LONG_PTR>(&samplesRead), reinterpret_cast<LONG_PTR>(&bytesRead),
                            reinterpret_cast<LONG_PTR>(&key)))
        return nullptr;
    return static_cast<unsigned char*>(r.result.pointer);
}
