#include "DataSGCallback.h"

#include <cstring>
#include <new>
#include <utility>

#include "GrabberCallbackQuery.h"

namespace {

// `buffer` holds at least `size` bytes afterwards, or is null (memory short).
bool grow(unsigned char*& buffer, int& capacity, int size)
{
    if (buffer && capacity >= size)
        return true;
    delete[] buffer;
    buffer = new (std::nothrow) unsigned char[size > 0 ? size : 1];
    capacity = buffer ? size : 0;
    return buffer != nullptr;
}

} // namespace

DataSGCallback::DataSGCallback(AM_MEDIA_TYPE* mediaType)
    : keyBuffer(nullptr), mediaType(mediaType), curStart(0), curEnd(-1), prevStart(0), prevEnd(-1), keyStart(0),
      keyEnd(-1), wanted(0), bufferCapacity(0), curSize(0), prevSize(0), keyCapacity(0), keySize(0),
      received(false), missed(false), curIsKey(false), prevIsKey(false), keySearch(false), keyFoundEvent(nullptr),
      segmentStart(0), numbering(SampleNumbering::of(*mediaType)), prevCapacity(0), haveCur(false),
      havePrev(false), haveKey(false)
{
}

DataSGCallback::~DataSGCallback()
{
    delete[] buffer;
    delete[] keyBuffer;
    if (keyFoundEvent)
        CloseHandle(keyFoundEvent);
}

STDMETHODIMP DataSGCallback::QueryInterface(REFIID riid, void** object)
{
    return queryGrabberCallback(this, riid, object);
}

STDMETHODIMP_(ULONG) DataSGCallback::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) DataSGCallback::Release()
{
    return 1;
}

STDMETHODIMP DataSGCallback::BufferCB(double, BYTE*, long)
{
    return S_OK;
}

void DataSGCallback::renumber()
{
    numbering = SampleNumbering::of(*mediaType);
}

// Counting by media time takes the end of the last sample; a sample without
// media times is counted by its time stamps, in the same units.
void DataSGCallback::parse(double time, IMediaSample* sample)
{
    if (!parseByMediaTime) {
        if (time > parseLastTime)
            ++parseCount;
    } else {
        LONGLONG start, end;
        numbering.range(sample, time, 0, start, end);
        parseCount = clampedLong(end != -1 ? end : start + 1);
    }
    parseLastTime = time;
    notify(0);
}

// The first sync point: its number by the stream's numbering (media times,
// else time stamps, else the grabber's time), then the search stops.
void DataSGCallback::searchKey(double time, IMediaSample* sample)
{
    if (sample->IsSyncPoint() != S_OK)
        return;
    LONGLONG start, end;
    numbering.range(sample, time, 0, start, end);
    parseCount = clampedLong(start < 0 ? 0 : start);
    stopRequest = true;
    SetEvent(keyFoundEvent);
}

// The data of `sample` into `buffer`, no more than the sample's own buffer
// holds; the current copy is missing when memory is short.
void DataSGCallback::take(IMediaSample* sample)
{
    BYTE* data = nullptr;
    long length = sample->GetActualDataLength();
    long size = sample->GetSize();
    if (FAILED(sample->GetPointer(&data)) || !data || length < 0)
        length = 0;
    if (size >= 0 && length > size)
        length = size;
    haveCur = grow(buffer, bufferCapacity, length);
    curSize = haveCur ? length : 0;
    if (haveCur && length > 0)
        std::memcpy(buffer, data, static_cast<size_t>(length));
    curIsKey = sample->IsSyncPoint() == S_OK;
}

void DataSGCallback::copyToKey(const unsigned char* data, int size, LONGLONG start, LONGLONG end)
{
    haveKey = grow(keyBuffer, keyCapacity, size);
    if (!haveKey)
        return;
    if (size > 0)
        std::memcpy(keyBuffer, data, static_cast<size_t>(size));
    keySize = size;
    keyStart = start;
    keyEnd = end;
}

// A previous key sample becomes the key copy (its memory changes places);
// any other is dropped.
void DataSGCallback::retirePrevious()
{
    if (!havePrev)
        return;
    havePrev = false;
    if (!prevIsKey)
        return;
    std::swap(keyBuffer, extraBuffer);
    std::swap(keyCapacity, prevCapacity);
    keySize = prevSize;
    keyStart = prevStart;
    keyEnd = prevEnd;
    haveKey = true;
}

void DataSGCallback::currentToPrevious()
{
    std::swap(buffer, extraBuffer);
    std::swap(bufferCapacity, prevCapacity);
    prevStart = curStart;
    prevEnd = curEnd;
    prevSize = curSize;
    prevIsKey = curIsKey;
    havePrev = haveCur;
    haveCur = false;
}

void DataSGCallback::advance()
{
    retirePrevious();
    if (haveCur) {
        if (curIsKey)
            copyToKey(buffer, curSize, curStart, curEnd);
        currentToPrevious();
    }
    received = false;
}

void DataSGCallback::forget()
{
    haveCur = havePrev = haveKey = false;
    received = false;
}

STDMETHODIMP DataSGCallback::SampleCB(double time, IMediaSample* sample)
{
    seen();
    if (!sample)
        return S_OK;
    if (parsing) {
        parse(time, sample);
        return S_OK;
    }
    if (stopRequest)
        return S_OK;
    if (keySearch) {
        searchKey(time, sample);
        return S_OK;
    }
    received = true;
    take(sample);
    numbering.range(sample, time + timeOffset, segmentStart, curStart, curEnd);
    if (wanted < curStart) {
        // The wanted sample lies before this one: in the previous sample,
        // which reaches up to here, or in none.
        if (havePrev)
            prevEnd = curStart;
        missed = !havePrev;
        hold();
        return S_OK;
    }
    if (havePrev && prevEnd == -1)
        prevEnd = curStart;
    retirePrevious();
    if (curEnd == -1 || curEnd <= wanted) {
        // Not reached yet. A sample of unknown end waits for the next one's
        // start to close it.
        if (curEnd == -1)
            currentToPrevious();
        else if (curIsKey && haveCur)
            copyToKey(buffer, curSize, curStart, curEnd);
        return S_OK;
    }
    missed = false;
    hold();
    return S_OK;
}
