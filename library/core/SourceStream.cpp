#include "SourceStream.h"

#include "AudioSourceStream.h"
#include "VideoSourceStream.h"

#include "TrelixNotification.h"

SourceStream::SourceStream()
    : length(0), notification(nullptr)
{
}

SourceStream::~SourceStream() = default;

long SourceStream::duration()
{
    if (notOpened())
        return -1;
    lastError = 0;
    return length;
}

TrelixNotification* SourceStream::notify(TrelixNotification* n)
{
    TrelixNotification* previous = notification;
    notification = n;
    return previous;
}

TrelixNotification* SourceStream::notify()
{
    return notification;
}

SourceStream* SourceStream::open(char* fileName, bool video, bool useDirectShow, int streamIndex, TrelixNotification* n)
{
    if (video)
        return VideoSourceStream::open(fileName, useDirectShow, streamIndex, n);
    return AudioSourceStream::open(fileName, useDirectShow, streamIndex, n);
}

SourceStream* SourceStream::open(char* fileName, bool video, int streamIndex, TrelixNotification* n)
{
    if (video)
        return VideoSourceStream::open(fileName, streamIndex, n);
    return AudioSourceStream::open(fileName, streamIndex, n);
}
