#include "TimeSGCallback.h"

#include <vfwmsgs.h>

#include "../core/TrelixNotification.h"
#include "GrabberCallbackQuery.h"
#include "SampleNumbering.h"

TimeSGCallback::TimeSGCallback()
    : foundEvent(nullptr), resumeEvent(nullptr), held(false), abort(false), rough(false), isVideo(false),
      avgTimePerFrame(0), sampleNumber(2147483647), sampleTime(0), notification(nullptr)
{
}

TimeSGCallback::~TimeSGCallback()
{
    if (foundEvent)
        CloseHandle(foundEvent);
    if (resumeEvent)
        CloseHandle(resumeEvent);
}

STDMETHODIMP TimeSGCallback::QueryInterface(REFIID riid, void** object)
{
    return queryGrabberCallback(this, riid, object);
}

STDMETHODIMP_(ULONG) TimeSGCallback::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) TimeSGCallback::Release()
{
    return 1;
}

STDMETHODIMP TimeSGCallback::BufferCB(double, BYTE*, long)
{
    return S_OK;
}

STDMETHODIMP TimeSGCallback::SampleCB(double time, IMediaSample* sample)
{
    if (abort || !sample)
        return S_OK;
    REFERENCE_TIME start, end;
    if (sample->GetTime(&start, &end) == VFW_E_SAMPLE_TIME_NOT_SET)
        rough = true;
    LONGLONG mediaStart, mediaEnd;
    if (mediaTimes(sample, mediaStart, mediaEnd)) {
        sampleNumber = clampedLong(mediaStart);
    } else if (!isVideo) {
        rough = true;
    } else {
        SampleNumbering frames = {false, 1, avgTimePerFrame > 0 ? avgTimePerFrame : 1};
        sampleNumber = clampedLong(frames.number(ticksOf(time)));
    }
    sampleTime = time;
    if (reached() || rough) {
        held = true;
        SetEvent(foundEvent);
        WaitForSingleObject(resumeEvent, INFINITE);
        ResetEvent(resumeEvent);
        held = false;
    }
    if (notification)
        notification->progress(3);
    return S_OK;
}
