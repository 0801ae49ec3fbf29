#pragma once

#include "DirectShowIds.h"
#include "SGCallback.h"
#include "SampleNumbering.h"

// Grabber callback of the raw-data source: keeps the still-compressed media
// samples around the wanted sample number - the current one (`buffer`), the
// previous one (`extraBuffer`) and a copy of the last key sample
// (`keyBuffer`) - and holds the graph on the sample that contains `wanted`,
// or on the first one after it. Every copy fits the buffer it goes into.
// Does not count references: the stream owns and deletes it.
class DataSGCallback : public ISampleGrabberCB, public SGCallback {
public:
    explicit DataSGCallback(AM_MEDIA_TYPE* mediaType);
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP SampleCB(double time, IMediaSample* sample) override;
    STDMETHODIMP BufferCB(double time, BYTE* data, long length) override;
    ~DataSGCallback() override;

    // One of the three kept samples, as getData hands it out.
    struct Kept {
        unsigned char* data;
        LONGLONG start;
        LONGLONG end;
        int size;
        bool key;
    };
    bool hasCurrent() const { return haveCur; }
    bool hasPrevious() const { return havePrev; }
    bool hasKeyCopy() const { return haveKey; }
    Kept current() const { return {buffer, curStart, curEnd, curSize, curIsKey}; }
    Kept previous() const { return {extraBuffer, prevStart, prevEnd, prevSize, prevIsKey}; }
    Kept keyCopy() const { return {keyBuffer, keyStart, keyEnd, keySize, true}; }
    // A current sample that arrived but could not be copied (memory short).
    bool currentMissing() const { return received && !haveCur && !havePrev; }

    // Before the stream goes on from the held sample without a seek: the
    // previous sample becomes the key copy when it is a key sample, the
    // current one becomes the previous one (and the key copy when it is a
    // key sample).
    void advance();
    // Before a seek: nothing kept is valid afterwards.
    void forget();
    // Re-reads the format (after the open derived the frame duration).
    void renumber();

    unsigned char* keyBuffer;
    AM_MEDIA_TYPE* mediaType;
    LONGLONG curStart, curEnd;
    LONGLONG prevStart, prevEnd;
    LONGLONG keyStart, keyEnd;
    int wanted;
    int bufferCapacity;
    int curSize, prevSize;
    int keyCapacity, keySize;
    bool received;
    bool missed;
    bool curIsKey, prevIsKey;
    bool keySearch;
    HANDLE keyFoundEvent;

    // Ticks to add to the time stamps of media samples, which count from the
    // position of the last seek.
    LONGLONG segmentStart;

private:
    void parse(double time, IMediaSample* sample);
    void searchKey(double time, IMediaSample* sample);
    void take(IMediaSample* sample);
    void retirePrevious();
    void currentToPrevious();
    void copyToKey(const unsigned char* data, int size, LONGLONG start, LONGLONG end);

    SampleNumbering numbering;
    int prevCapacity;
    bool haveCur, havePrev, haveKey;
};
