#pragma once

#include <windows.h>
#include <strmif.h>
#include <control.h>
#include <qedit.h>

#include "../core/SourceStream.h"
#include "DSAudioOrVideoStream.h"

class SGCallback;

// Base of the DirectShow sources: one private graph
//   source filter -> (splitter, decoders) -> sample grabber -> null renderer
// driven by a graph thread and pulled through the grabber callback.
//
// Threads: the caller's thread runs run/seek/destruction, the graph thread
// alone runs and stops the graph while it exists, the streaming thread runs
// the callback. They meet through the callback's three events and stopEvent.
class TRELIX_API DSSourceStream : public DSAudioOrVideoStream, public virtual SourceStream {
public:
    ~DSSourceStream() override;
    double msDuration() override;

    bool run();
    bool seek(__int64 position, bool toKeyFrame);
    void config(int threshold);
    bool parseStream(bool byMediaTime);

protected:
    DSSourceStream();

    // The temporary interfaces of an open; released when it ends.
    struct GraphBuild {
        GraphBuild();
        ~GraphBuild();
        IBaseFilter* source;
        ISampleGrabber* grabber;
        IPin* grabberInput;
        AM_MEDIA_TYPE connection;
    };

    // Steps of the graph construction, each returning 0 or the open's code.
    // Graph, source filter, grabber (accepting `major`/`subtype`), the stream's
    // connection, null renderer and the connection's media type.
    int buildGraph(char* fileName, int streamIndex, const GUID& major, const GUID* subtype, GraphBuild& build);
    int openSeeking();
    int readDuration();
    int openControl();
    // Installs `grabberCallback`, whose shared part is `shared` (owned from now).
    void installCallback(GraphBuild& build, ISampleGrabberCB* grabberCallback, SGCallback* shared);
    int createEvents();
    // Plays at full speed: without a clock the renderer does not wait for
    // presentation times. 0 or the warning code.
    int removeClock();
    void attach(TrelixNotification* n);
    static bool grabberTimesFromSegmentStart();
    // Whether the splitter gives this file's samples the times of the
    // container's own clock, which need not begin at zero (see .cpp).
    static bool timesFromContainerClock(IBaseFilter* source);
    // Notes whether they do for this stream's `source`; true when they do.
    bool followContainerClock(IBaseFilter* source);
    // Makes `seconds`, the time of the stream's first sample, time zero of
    // every sample time the callback sees from now on.
    void setTimeOrigin(double seconds);

    bool destroying;
    HANDLE graphThread;
    HANDLE stopEvent;
    SGCallback* callback;
    __int64 mediaDuration;
    IGraphBuilder* graph;
    IBaseFilter* grabberFilter;
    IBaseFilter* nullRenderer;
    IMediaEvent* mediaEvent;
    IMediaSeeking* mediaSeeking;
    IMediaControl* mediaControl;
    wchar_t* wideFileName;
    int decodeThreshold;

    // Drops the events left from an earlier run (an end of stream reached
    // while the graph stopped), which belong to no later run.
    void dropStaleEvents();
    // Stops the graph for a bounded time (see stopGraphBounded): 0 or the
    // code. A stop that never ended leaves the stream unusable for good.
    int stopBounded();
    DWORD waitWhileDelivering(HANDLE* events, DWORD count);

private:
    static DWORD WINAPI graphThreadMain(void* stream);
    void runGraph();
    void stopGraph();
    bool startGraphThread();
    // Waits for the graph thread to end, asking it to stop first.
    void endGraphThread();
    void detachCallback();
    void releaseCallback();
    HRESULT waitForCompletion(long* code);
    bool delivered(LONG& seen);

    // The graph reported the end of the stream and was left running there:
    // nothing more will be delivered until the next seek.
    bool ended;
    // Time of the first sample where the container's clock does not begin
    // at zero; 0 otherwise.
    double timeOrigin;
    // The splitter's times follow the container's clock: seeks set no stop.
    bool containerClock;
    // The graph thread itself: waited for after its completion, so that no
    // graph thread outlives the stream.
    HANDLE graphThreadObject;
    void joinGraphThread();
    // The graph's stop never ended (see endGraphThread): nothing may call
    // the graph again.
    bool graphStuck;
    // What the graph thread's stop and the stream waiting for it share.
    struct StopHandoff {
        enum : LONG { kRunning, kFinished, kAbandoned };
        volatile LONG shares = 2;
        volatile LONG state = kRunning;
        // The thread's side: true when the stream still waits for it.
        bool finish();
        // The stream's side: true when the thread had not finished.
        bool abandon();
        void drop();
    };
    StopHandoff* stopHandoff;
};
