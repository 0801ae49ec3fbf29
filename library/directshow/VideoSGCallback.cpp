#include "VideoSGCallback.h"

#include <cstring>
#include <new>

VideoSGCallback::VideoSGCallback(DWORD bufferSize)
    : halfFrame(0), targetTime(0), prevTime(0), nextTime(0), havePrev(false), haveNext(false),
      bufferSize(bufferSize)
{
}

VideoSGCallback::~VideoSGCallback()
{
    delete[] buffer;
}

bool VideoSGCallback::allocate()
{
    buffer = new (std::nothrow) unsigned char[bufferSize]();
    extraBuffer = new (std::nothrow) unsigned char[bufferSize]();
    return buffer && extraBuffer;
}

STDMETHODIMP VideoSGCallback::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    if (riid == IID_ISampleGrabberCB || riid == IID_IUnknown) {
        *object = static_cast<ISampleGrabberCB*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) VideoSGCallback::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) VideoSGCallback::Release()
{
    return 1;
}

STDMETHODIMP VideoSGCallback::BufferCB(double, BYTE*, long)
{
    return S_OK;
}

void VideoSGCallback::parse(double time)
{
    if (time > parseLastTime)
        ++parseCount;
    parseLastTime = time;
    notify(0);
}

// A sample longer than the frame (a damaged or hostile file) is cut to it.
void VideoSGCallback::copy(IMediaSample* sample, unsigned char* target)
{
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || !data)
        return;
    long length = sample->GetActualDataLength();
    if (length <= 0)
        return;
    std::memcpy(target, data, static_cast<DWORD>(length) < bufferSize ? static_cast<size_t>(length) : bufferSize);
}

STDMETHODIMP VideoSGCallback::SampleCB(double time, IMediaSample* sample)
{
    seen();
    if (parsing) {
        parse(time);
        return S_OK;
    }
    if (stopRequest || !sample)
        return S_OK;
    time += timeOffset;
    if (time < targetTime + halfFrame) {
        copy(sample, buffer);
        havePrev = true;
        prevTime = time;
    }
    if (time >= targetTime - halfFrame) {
        if (time >= targetTime + halfFrame)
            copy(sample, extraBuffer);
        haveNext = true;
        nextTime = time;
        hold();
    }
    return S_OK;
}
