#include "SourceStream.h"

#include "TrelixNotification.h"

SourceStream::SourceStream()
    : length(0), notification(nullptr)
{
}

SourceStream::~SourceStream() = default;

long SourceStream::duration()
{
    if (unusable) {
        lastError = 1;
        return -1;
    }
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
