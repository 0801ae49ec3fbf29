#include "RawDataSourceStream.h"

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
