#pragma once

#include <windows.h>

class TrelixNotification;

// What every grabber callback of a stream's own graph shares: the request and
// result flags, the buffers and the handshake with the stream.
//
// Handshake: the stream writes the request fields only while the callback is
// not running (before run, or while it is held). When the callback has
// delivered it sets readyEvent and blocks until resumeEvent (set by the next
// run, or by the graph thread that stops the graph), then sets ackEvent.
class SGCallback {
public:
    SGCallback();
    virtual ~SGCallback();

    // Called on the streaming thread when a request is satisfied: blocks there
    // until resumed.
    void hold();
    // Progress `kind` to the attached notification, if any.
    void notify(int kind);
    // Counts a sample that reached the callback, whatever it does with it:
    // the stream tells a graph that still delivers from one that halted.
    void seen() { InterlockedIncrement(&samplesSeen); }

    bool stopRequest;
    bool waiting;
    HANDLE readyEvent;
    HANDLE resumeEvent;
    HANDLE ackEvent;
    unsigned char* buffer;
    unsigned char* extraBuffer;
    bool parsing;
    bool parseByMediaTime;
    int parseCount;
    double parseLastTime;
    TrelixNotification* notification;

    // Seconds to add to the sample times the grabber reports, so that they
    // are positions in the stream (see DSSourceStream::seek).
    double timeOffset;

    volatile LONG samplesSeen;
};
