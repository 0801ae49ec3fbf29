#pragma once

#include <windows.h>
#include <dshow.h>

#include "RunningObjectTable.h"

// Pin lookup and intelligent connection for the library's filter graphs.

// First pin of `direction` in enumeration order (with a reference).
HRESULT getPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
HRESULT countPins(IBaseFilter* filter, PIN_DIRECTION direction, int* count);
// First pin of `direction` that is connected (with a reference).
HRESULT getConnectedPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
// First pin of `direction` that is not connected (with a reference).
HRESULT getFreePin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
// Connects the first output pin of `upstream` to the first input pin of
// `downstream`, letting the graph insert what is needed.
HRESULT connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream);
// Connects the n-th (0-based) output of `source`, counted among the outputs
// that can be connected to `target`, to `target`.
HRESULT connectNthOutput(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* target, int n);
// Connects stream `streamIndex` of the grabber's kind to `grabber`, behind the
// splitter when the source has a single output; false with `*errorCode` set.
bool connectStream(IGraphBuilder* graph, IBaseFilter* source, IBaseFilter* grabber, int streamIndex, int* errorCode);
// Lets the graph run as fast as its filters go: no reference clock, so no
// renderer waits for presentation times.
HRESULT removeReferenceClock(IGraphBuilder* graph);
// Takes the next queued graph event without waiting; false when none is
// queued. The event's parameters are freed.
bool takeGraphEvent(IMediaEvent* events, long* code);
// The first connected input pin of the filter upstream of `input` (with a
// reference), or null.
IPin* upstreamInputPin(IPin* input);
