#pragma once

#include <windows.h>
#include <strmif.h>
#include <qedit.h>

// The filters of a grabber graph
//   source filter -> (splitter, decoders) -> sample grabber -> null renderer
// as the stream graphs and the raw source's time graphs build them. Every
// pointer holds a reference that the owner releases.
struct GrabberChain {
    IBaseFilter* source = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    ISampleGrabber* grabber = nullptr;
    IBaseFilter* nullRenderer = nullptr;
};

// Creates a filter graph and registers it in the running object table
// (`rotRegister`, 0 when that failed). 0 or the code of the failure.
int createFilterGraph(IGraphBuilder** graph, DWORD* rotRegister);

// Adds the chain for stream `streamIndex` of `fileName` (the stream kind the
// grabber admits: `major`, and `subtype` when given) to `graph` and connects
// it. 0 or the code of the first step that failed; what was built so far is
// in `chain` either way.
int addGrabberChain(IGraphBuilder* graph, const wchar_t* fileName, int streamIndex, const GUID& major,
                    const GUID* subtype, GrabberChain& chain);
