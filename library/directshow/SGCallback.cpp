#include "SGCallback.h"

#include <initializer_list>

#include "../core/TrelixNotification.h"

SGCallback::SGCallback()
    : stopRequest(false), waiting(false), readyEvent(nullptr), resumeEvent(nullptr), ackEvent(nullptr),
      buffer(nullptr), extraBuffer(nullptr), parsing(false), parseByMediaTime(false), parseCount(0),
      parseLastTime(-1.0), notification(nullptr), timeOffset(0), samplesSeen(0)
{
}

SGCallback::~SGCallback()
{
    delete[] extraBuffer;
    for (HANDLE event : {readyEvent, resumeEvent, ackEvent})
        if (event)
            CloseHandle(event);
}

void SGCallback::hold()
{
    waiting = true;
    SetEvent(readyEvent);
    WaitForSingleObject(resumeEvent, INFINITE);
    ResetEvent(resumeEvent);
    waiting = false;
    SetEvent(ackEvent);
}

void SGCallback::notify(int kind)
{
    if (notification)
        notification->progress(kind);
}
