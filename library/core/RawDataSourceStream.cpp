#include "RawDataSourceStream.h"

#include "../vfw/VfWRawDataSourceStream.h"
#include "BackendChoice.h"

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

// There is no DirectShow raw-data source in this build: the DirectShow branch
// gives no object.
RawDataSourceStream* RawDataSourceStream::open(char* fileName, bool video, bool useDirectShow, int streamIndex,
                                               TrelixNotification* n)
{
    if (useDirectShow)
        return nullptr;
    return VfWRawDataSourceStream::open(fileName, video, streamIndex, n);
}

RawDataSourceStream* RawDataSourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    return openAutomatically<RawDataSourceStream>(
        [&] { return open(fileName, video, false, streamIndex, n); },
        [&] { return open(fileName, video, true, streamIndex, n); });
}
